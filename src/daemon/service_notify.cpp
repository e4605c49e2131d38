#include "daemon/service_notify.h"

#include <systemd/sd-daemon.h>

// Only the parent reports: the environment stays set, so workers would be
// refused by the manager anyway (NotifyAccess=main).
void service_notify_ready() { sd_notify(0, "READY=1"); }

void service_notify_reloading() { sd_notify(0, "RELOADING=1"); }

void service_notify_stopping() { sd_notify(0, "STOPPING=1"); }
