#pragma once
// Start-up, reload and shutdown reports to the service manager (systemd's
// Type=notify). Each call does nothing when NOTIFY_SOCKET is unset, so the
// daemon behaves the same outside a service.

// The listening socket accepts connections.
void service_notify_ready();
// A reload begins; service_notify_ready() ends it.
void service_notify_reloading();
// The daemon is shutting down.
void service_notify_stopping();
