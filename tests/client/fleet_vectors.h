// The rows of fleet_vectors.json, which the Python client's tests read too, for the C++ tests.
#pragma once

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <fstream>
#include <sstream>
#include <string>

#ifndef TOKEN_FLEET_VECTORS
#error "TOKEN_FLEET_VECTORS must name tests/client/fleet_vectors.json"
#endif

inline rapidjson::Document fleet_vectors() {
  std::ifstream file(TOKEN_FLEET_VECTORS);
  std::stringstream text;
  text << file.rdbuf();
  rapidjson::Document vectors;
  EXPECT_FALSE(vectors.Parse(text.str().c_str()).HasParseError()) << TOKEN_FLEET_VECTORS;
  return vectors;
}

inline std::string string_of(const rapidjson::Value& value) {
  return std::string(value.GetString(), value.GetStringLength());
}
