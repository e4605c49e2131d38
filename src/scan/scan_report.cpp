#include "scan/scan_report.h"

scan_report greport;
