// odlctl prune: removes the capture directories beyond the newest ones.
#pragma once

#include "tools/odlctl/odlctl.h"

// Removes the capture directories beyond the `args.keep` newest, but never one
// that grows, and never anything outside the directory being removed: links
// are removed, not followed. 1 when something could not be removed.
int prune(const arguments& args);
