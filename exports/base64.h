#pragma once

#include <string>

// Decodes Base64 leniently: bytes outside the alphabet (padding, white space,
// line breaks) are skipped, so "=" never ends the text and groups may be short.
std::string base64Decode(const std::string& text);
