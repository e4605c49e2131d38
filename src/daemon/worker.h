#pragma once
// The connection worker: serves the ICAP requests of one connection.

// Serves requests on *fd until the connection ends, the client asks to
// close, a request is malformed, keep-alive is off or the parent closes the
// keep-alive pipe. Returns with *fd possibly still open.
void serve_connection(int* fd);

// The forked worker's entry: signals, socket options, serve_connection,
// release of the configuration, exit 0.
[[noreturn]] void client(int fd);
