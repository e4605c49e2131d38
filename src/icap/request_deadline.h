#pragma once
// The time a request may take. Its ICAP head and encapsulated HTTP heads
// must arrive within Timeout in total (the alarm armed when the head
// starts). From the end of the heads a body gets Timeout plus one second
// for every MinBodyRate bytes received: a client that trickles a few
// bytes now and then is cut, however short each single wait is. The
// alarm ends the worker when the time is up.
//
// Reading a body only moves the deadline forward, without a system call:
// an alarm that goes off before it is re-armed for the rest by
// body_deadline_defer_alarm, so the alarm is touched about once per
// Timeout rather than once per read.

#include <cstdint>

// The heads' alarm: Timeout seconds from the start of a request's head
// (none when Timeout is 0). Disarming an alarm that is not armed costs no
// system call, so the request loop can disarm after every request.
void request_alarm_arm();
void request_alarm_disarm();

// The heads are read: the body's time starts now.
void body_deadline_start();
// Moves the deadline for the `received` body bytes of the request.
void body_deadline_progress(uint64_t received);
// The body is read (or abandoned): an alarm goes off as armed again.
void body_deadline_stop();

// For the SIGALRM handler (async-signal-safe): true when a body is being
// read and its deadline is still ahead; the alarm is then re-armed to go
// off at the deadline (within a second after it) and the worker goes on.
bool body_deadline_defer_alarm();
