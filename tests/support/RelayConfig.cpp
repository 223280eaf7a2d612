#include "RelayConfig.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace relay {

namespace {

std::string Trimmed(const std::string& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
    while (last > first && std::isspace(static_cast<unsigned char>(text[last - 1]))) --last;
    return text.substr(first, last - first);
}

// Digits only, at most `most`.
bool ReadWhole(const std::string& text, unsigned long long most, unsigned long long* value) {
    if (text.empty() || text.size() > 12) return false;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    *value = std::strtoull(text.c_str(), nullptr, 10);
    return *value <= most;
}

}  // namespace

bool RelayConfig::Parse(const std::string& text, RelayConfig* config, std::string* error) {
    RelayConfig parsed = *config;
    std::istringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        item = Trimmed(item);
        if (item.empty()) continue;
        size_t equals = item.find('=');
        std::string key = Trimmed(item.substr(0, equals));
        std::string valueText = equals == std::string::npos ? "" : Trimmed(item.substr(equals + 1));
        unsigned long long value = 0;
        bool known = true;
        bool inRange = false;
        if (key == "delay_ms") {
            inRange = ReadWhole(valueText, 10000, &value);
            parsed.delayMs = static_cast<int>(value);
        } else if (key == "jitter_ms") {
            inRange = ReadWhole(valueText, 10000, &value);
            parsed.jitterMs = static_cast<int>(value);
        } else if (key == "piece") {
            inRange = ReadWhole(valueText, 1u << 20, &value);
            parsed.replyPieceBytes = static_cast<size_t>(value);
        } else if (key == "piece_gap_ms") {
            inRange = ReadWhole(valueText, 1000, &value);
            parsed.replyPieceGapMs = static_cast<int>(value);
        } else if (key == "data_piece") {
            inRange = ReadWhole(valueText, 1u << 20, &value);
            parsed.dataPieceBytes = static_cast<size_t>(value);
        } else if (key == "data_gap_ms") {
            inRange = ReadWhole(valueText, 1000, &value);
            parsed.dataPieceGapMs = static_cast<int>(value);
        } else if (key == "rate") {
            inRange = ReadWhole(valueText, 1000000000u, &value);
            parsed.bytesPerSecond = static_cast<size_t>(value);
        } else if (key == "seed") {
            inRange = ReadWhole(valueText, 0xFFFFFFFFu, &value);
            parsed.seed = static_cast<uint32_t>(value);
        } else if (key == "port_range") {
            inRange = ReadWhole(valueText, kMostPortRange, &value);
            parsed.portRange = static_cast<int>(value);
        } else if (key == "handshake") {
            inRange = ReadWhole(valueText, 1, &value);
            parsed.tcpHandshake = value != 0;
        } else {
            known = false;
        }
        if (!known || !inRange) {
            *error = (known ? "bad value in '" : "unknown setting in '") + item + "' (relay settings: " +
                     "delay_ms, jitter_ms, piece, piece_gap_ms, data_piece, data_gap_ms, rate, seed, port_range, "
                     "handshake)";
            return false;
        }
    }
    *config = parsed;
    return true;
}

std::string RelayConfig::Describe() const {
    std::ostringstream text;
    text << "delay_ms=" << delayMs << ",jitter_ms=" << jitterMs << ",piece=" << replyPieceBytes
         << ",piece_gap_ms=" << replyPieceGapMs << ",data_piece=" << dataPieceBytes
         << ",data_gap_ms=" << dataPieceGapMs << ",rate=" << bytesPerSecond << ",seed=" << seed
         << ",port_range=" << portRange << ",handshake=" << (tcpHandshake ? 1 : 0);
    return text.str();
}

}  // namespace relay
