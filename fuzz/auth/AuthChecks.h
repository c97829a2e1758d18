// What the authentication fuzz targets check on one input; shared with the
// corpus replay test. Each aborts on a broken invariant; the sanitizers
// catch the rest.
#pragma once

#include <cstddef>
#include <cstdint>

// Input: one selector byte (packet type, publishing or not), then the body
// of a server command. Runs needs_publisher_auth and, on an authentication
// demand, reads the info object and computes the token as a connect would.
void check_server_command(const uint8_t *data, size_t size);

// Input: one selector byte (application name, which credentials), then an
// _error description. Runs PublisherAuth_v2.
void check_auth_description(const uint8_t *data, size_t size);

// Process set-up both need once: librtmp quiet.
void auth_checks_init();
