section_operations() { :; }
