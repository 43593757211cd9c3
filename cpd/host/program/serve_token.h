// The shared token that admits a remote of `serve` beyond loopback: kept in a file the server
// creates (owner-only) and the remote reads, compared in constant time. Plain functions; any
// thread.
#pragma once

#include <string>

#include "cpd/interface/cpd_packet.h"

namespace cpd::host {

// The token in `path`: its first line, without trailing blanks. False with a reason.
bool ReadToken(const std::string& path, std::string* token, std::string* error);
// The same for the server: a missing file is created, readable by its owner only,
// with a fresh random token (*created tells). False with a reason otherwise.
bool LoadOrCreateToken(const std::string& path, std::string* token, bool* created,
                       std::string* error);
// Takes as long whatever the first difference, so timing does not reveal the token.
bool SameToken(const std::string& given, const std::string& expected);
// What a frame from a remote is to the token check: a token frame carrying `expected`, one
// carrying anything else, or another packet.
enum class TokenVerdict { kNotAToken, kWrong, kRight };
TokenVerdict CheckTokenFrame(CpdPacket& packet, const std::string& expected);

}  // namespace cpd::host
