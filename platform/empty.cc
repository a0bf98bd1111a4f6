// Keeps every library non-empty while its folder is being filled.
