# The worker and the parent report requests, connections and reloads.
list(APPEND vrx_depends vrx_monitoring)
