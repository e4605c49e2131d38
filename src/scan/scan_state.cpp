#include "scan/vrx_client.h"

int g_daemon_fd = -1;
unsigned long virus_total = 0;
