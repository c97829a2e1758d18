// What a server would send, built by hand for the tests: AMF0 values, whole
// commands, and the chunks a message travels in.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace amf {

using Bytes = std::vector<uint8_t>;

Bytes number(double v);
Bytes string(const std::string &s);
Bytes null();
// An object of string properties.
Bytes object(const std::vector<std::pair<std::string, std::string>> &props);
Bytes cat(std::initializer_list<Bytes> parts);

// "_error", txn, null, {level, code, description}
Bytes error_command(double txn, const std::string &description);

}  // namespace amf

// The chunks of one message on chunk stream 3 (chunk size 128).
std::vector<uint8_t> chunked(uint8_t type, uint32_t stream_id, const std::vector<uint8_t> &body);
