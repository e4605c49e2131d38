#pragma once
// The time a request may take. Its ICAP head and encapsulated HTTP heads
// must arrive within Timeout in total (the alarm armed when the head
// starts). From the end of the heads a body gets Timeout plus one second
// for every MinBodyRate bytes received: a client that trickles a few
// bytes now and then is cut, however short each single wait is. The
// alarm ends the worker when the time is up.

#include <cstdint>

// The heads are read: the body's time starts now.
void body_deadline_start();
// Re-arms the alarm for the `received` body bytes of the request.
void body_deadline_progress(uint64_t received);
