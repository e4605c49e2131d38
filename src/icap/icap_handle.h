#pragma once
// Turns one parsed ICAP request (g_request) into its reply.

// 200 when the reply was sent (or there is nothing to send), 0 on failure;
// the worker then sends the error reply while the connection is open.
int icap_handle(int* fd);
