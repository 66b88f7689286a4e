#include "tests/fakes/fake_env.h"

#include <string>

#include "tests/fakes/journal.h"

void fake_env::pause_us(unsigned int us) { journal::record("pause " + std::to_string(us)); }

void fake_env::shell(const char* command) { journal::record(std::string("shell ") + command); }
