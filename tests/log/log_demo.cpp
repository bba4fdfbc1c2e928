// log_demo NAME [TEXT]: LogInit(NAME), then LogWrite(2, TEXT), TEXT "abc" by
// default.  Each run is one load of the log.
#include <string_view>

#include "log/logger.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    return 2;
  }
  notavero::LogInit(argv[1]);
  notavero::LogWrite(2, argc > 2 ? std::string_view(argv[2]) : std::string_view("abc"));
  return 0;
}
