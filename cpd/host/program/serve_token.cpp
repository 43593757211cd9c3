// The shared token of `serve`: reading it, creating it, comparing it, checking a frame for it.
#include "cpd/host/program/serve_token.h"

#include <cstdint>
#include <cstdio>
#include <fstream>

#include "cpd/host/program/os.h"
#include "cpd/host/program/serial_packets.h"

namespace cpd::host {

bool ReadToken(const std::string& path, std::string* token, std::string* error) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) {
        *error = "--token-file: cannot read " + path;
        return false;
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
        line.pop_back();
    }
    if (line.empty()) {
        *error = "--token-file: " + path + " holds no token on its first line";
        return false;
    }
    *token = line;
    return true;
}

bool LoadOrCreateToken(const std::string& path, std::string* token, bool* created,
                       std::string* error) {
    *created = false;
    uint8_t random[32];
    if (!RandomBytes(random, sizeof(random))) {
        *error = "--token-file: no random bytes for a new token";
        return false;
    }
    std::string text;
    for (const uint8_t byte : random) {
        char hex[3];
        std::snprintf(hex, sizeof(hex), "%02x", byte);
        text += hex;
    }
    // Created exclusively, so an existing file (or a link planted in its place) is only read.
    const int made = CreatePrivateFile(path, text + "\n");
    if (made == 0) {
        return ReadToken(path, token, error);
    }
    if (made < 0) {
        *error = "--token-file: cannot write a new token to " + path;
        return false;
    }
    *token = text;
    *created = true;
    return true;
}

bool SameToken(const std::string& given, const std::string& expected) {
    // Only the length may show: every byte of the expected token is compared.
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < expected.size(); ++i) {
        const unsigned char other = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        difference |= static_cast<unsigned char>(other ^ static_cast<unsigned char>(expected[i]));
    }
    return difference == 0;
}

TokenVerdict CheckTokenFrame(CpdPacket& packet, const std::string& expected) {
    PacketView view;
    std::string token;
    if (!ViewPacket(packet, &view) || !DecodeTokenFrame(view, &token)) {
        return TokenVerdict::kNotAToken;
    }
    return SameToken(token, expected) ? TokenVerdict::kRight : TokenVerdict::kWrong;
}

}  // namespace cpd::host
