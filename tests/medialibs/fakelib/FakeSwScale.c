/* Loads fine but binds nothing: the loader must name the first missing export. */
int fake_swscale_marker(void) { return 42; }
