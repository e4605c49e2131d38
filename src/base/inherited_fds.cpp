#include "base/inherited_fds.h"

#include <algorithm>
#include <linux/close_range.h>
#include <unistd.h>

#include "base/log.h"

void close_inherited(int keep) {
    int log = log_target();
    int first = 3;
    for (int kept : {std::min(keep, log), std::max(keep, log)}) {
        if (kept < first)
            continue;
        if (kept > first)
            close_range(static_cast<unsigned>(first), static_cast<unsigned>(kept - 1), 0);
        first = kept + 1;
    }
    close_range(static_cast<unsigned>(first), ~0U, 0);
}
