#include "daemon/startup.h"

int main(int argc, char** argv) { return vorex_icapd_main(argc, argv); }
