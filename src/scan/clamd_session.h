#pragma once
// The worker's connection to clamd: one IDSESSION kept across requests and
// reopened when clamd has closed it (its idle time-out, a restart). Commands
// are numbered by the session and replies matched by their number. QUIT and
// SHUTDOWN, which stop clamd, are never sent.

#include <cstddef>
#include <functional>
#include <string>

// Writes one command and its data on the session's descriptor; `local` is
// true on a local socket (descriptors can be passed). False when a write
// failed (errno tells why); after a broken connection the reply is read all
// the same, since clamd answers before it closes (an INSTREAM over its
// size limit).
using clamd_sender = std::function<bool(int fd, bool local)>;

// Runs one command in the session; `reply` gets its text without the
// number. False when no clamd answered. A kept session found closed is
// reopened and the command sent once more; after an ERROR reply, on which
// clamd closes, the next command opens a new session.
bool clamd_session_command(const clamd_sender& send, std::string* reply);

// One command outside a session ("zVERSION"), to the first address that
// answers. False when none did.
bool clamd_single_command(const char* command, std::string* reply);

// Writes all bytes, waiting at most Timeout seconds each time; false on an
// error or time-out (errno tells which: ETIMEDOUT).
bool clamd_send(int fd, const void* data, size_t length);
// Writes the FILDES command carrying the descriptor `passed`.
bool clamd_send_descriptor(int fd, int passed);
