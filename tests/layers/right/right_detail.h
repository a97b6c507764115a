// Nothing included.
