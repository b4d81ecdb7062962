#pragma once

#include <string>

namespace velmora::Utils::BuildConstants {

// Fixed at build time; the banner and the device attributes report them.
inline const std::string orvix_agent_version = "1.0.0009";
// Build moment in UTC, YYYYMMDDhhmmss.
inline const std::string orvix_agent_build_date = "20260216135248";
inline const std::string orvix_agent_os_type = "GNU/Linux";
inline const std::string orvix_agent_port = "5555";

}  // namespace velmora::Utils::BuildConstants

namespace velmora::Utils::Crypto {

// 32 arbitrary bytes (binary, not text): the passphrase from which the configuration
// cipher's key and IV are derived. Databases written by another build need the same bytes.
inline const std::string ENCRYPTION_KEY(
    "\x0a\xe1\xe3\xdf\xcd\x75\x13\x70"
    "\x7a\x0b\x44\x07\x12\xa7\x8c\x9e"
    "\xaa\x57\x5c\x3d\xce\xd5\x6e\x84"
    "\xf2\x05\x72\xe4\xf3\x21\x13\xa2",
    32);

}  // namespace velmora::Utils::Crypto
