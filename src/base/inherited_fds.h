#pragma once
// For a helper process forked by the parent: it keeps none of the parent's
// descriptors (listening sockets, connections, pipe ends) but its own one.

// Closes every descriptor above the standard ones but `keep` and the log.
void close_inherited(int keep);
