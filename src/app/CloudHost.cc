#include <cstdlib>

#include "app/Ports.h"

#ifndef BRICKFIX_DEFAULT_CLOUD_HOST
#define BRICKFIX_DEFAULT_CLOUD_HOST "cloud.terno.example"
#endif

std::string GetCloudHost() {
  const char* host = std::getenv("BRICKFIX_CLOUD_HOST");
  return host && *host ? host : BRICKFIX_DEFAULT_CLOUD_HOST;
}

std::string BuildQueryUrl(const std::string& model) {
  return "https://" + GetCloudHost() + "/api/latest_rom?model=" + model;
}
