#pragma once
// The connection worker: serves the ICAP requests of one connection.

// Serves requests on *fd until the connection ends, the client asks to
// close, a request is malformed, keep-alive is off, the connection stays
// idle for KeepAliveTimeout, or the parent closes the keep-alive pipe or
// sends SIGTERM. Returns with *fd possibly still open and nothing of the
// connection left in the process for the next one.
void serve_connection(int* fd);

// Serves one accepted connection (socket options, serve_connection) and
// closes it. The worker's own state, such as its scanning-daemon
// connection, stays for the next connection.
void serve_client(int fd);
