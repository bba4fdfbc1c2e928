// The shared library's own translation unit; everything it exports comes
// from the core library, linked in whole.
