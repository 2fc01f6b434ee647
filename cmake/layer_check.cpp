// Empty: the layer checks link a library's objects into a shared object around this.
