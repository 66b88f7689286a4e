#include "aont/aont.h"

void handle_aont(aont*) {}
