#pragma once
// The connection worker: serves the ICAP requests of one connection while
// they follow one another.

// Serves requests on *fd until the connection ends, the client asks to
// close, a request is malformed, keep-alive is off or SIGTERM came; or,
// when its next request does not follow at once, hands it to the keeper
// (*fd is then -1). The line reader must hold nothing but this
// connection's bytes. Returns with *fd possibly still open and nothing of
// the connection left in the process for the next one.
void serve_connection(int* fd);

// Per connection, once, where it is accepted: no Nagle delay, and TCP
// keep-alive probes when KeepAlive is on.
void set_connection_options(int fd);

// serve_connection, then closes the connection unless it went to the
// keeper. The worker's own state, such as its scanning-daemon connection,
// stays for the next connection.
void serve_client(int fd);
