// The always-on test sensor client. main owns the one aont object.
#pragma once

class aont {};

// The always-on test task, run on aont_worker's thread.
void handle_aont(aont* test);
