#include "diag/diag_settings.h"

void handle_diag_settings() {}

void wait_handle_flush() {}
