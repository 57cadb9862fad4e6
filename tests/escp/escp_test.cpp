// The Epson printer through the session: bit-image modes and densities,
// the shorthands, bands a line feed apart, text and page ends.
