#include "diag/odl_capture.h"

void trcap_capture() {}
