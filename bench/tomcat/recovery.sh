section_recovery() { :; }
