#include "ui/Frontends.h"

IFrontend* CreateFrontend(CommandLine::Ui, std::string& error) {
  error = "no frontend in this build yet";
  return nullptr;
}
