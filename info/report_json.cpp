// The JSON report: one array on standard output, one object per file, with
// stable keys; and the budget's object. Numbers are printed in their shortest exact form; texts are
// escaped so that any bytes give valid JSON (UTF-8).
#include "info/info.h"

#include <charconv>
#include <cmath>
#include <cstring>

std::size_t info_utf8_length(const unsigned char *s, std::size_t n) {
    const unsigned c = s[0];
    std::size_t len = 0;
    unsigned lo = 0x80;
    unsigned hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80;
        hi = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;
    }
    if (len == 0 || len > n || s[1] < lo || s[1] > hi) {
        return 0;
    }
    for (std::size_t i = 2; i < len; ++i) {
        if (s[i] < 0x80 || s[i] > 0xBF) {
            return 0;
        }
    }
    return len;
}

namespace {

// A JSON string of n bytes. Well-formed UTF-8 is kept; every other byte is
// taken as the code point of the same number (Latin-1) and escaped.
void put_string(const char *text, std::size_t n) {
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    std::putchar('"');
    for (std::size_t i = 0; i < n;) {
        const unsigned c = s[i];
        if (c == '"' || c == '\\') {
            std::printf("\\%c", c);
            ++i;
        } else if (c >= 0x20 && c < 0x7F) {
            std::putchar(static_cast<int>(c));
            ++i;
        } else if (const std::size_t len = c >= 0x80 ? info_utf8_length(s + i, n - i) : 0;
                   len > 0) {
            std::fwrite(s + i, 1, len, stdout);
            i += len;
        } else {
            std::printf("\\u%04x", c);
            ++i;
        }
    }
    std::putchar('"');
}

void put_key(const char *indent, const char *key) {
    std::printf("%s\"%s\": ", indent, key);
}

void put_text(const char *indent, const char *key, const char *text, std::size_t n, bool last) {
    put_key(indent, key);
    put_string(text, n);
    std::printf(last ? "\n" : ",\n");
}

void put_int(const char *indent, const char *key, long long v, bool last) {
    put_key(indent, key);
    std::printf(last ? "%lld\n" : "%lld,\n", v);
}

// A number, or null when it is not finite.
void put_double(const char *indent, const char *key, double v, bool last) {
    char buf[INFO_NUMBER_BUF];
    put_key(indent, key);
    if (std::isfinite(v)) {
        info_shortest_double(v, buf);
    } else {
        std::strcpy(buf, "null");
    }
    std::printf(last ? "%s\n" : "%s,\n", buf);
}

void put_float(const char *indent, const char *key, float v, bool last) {
    char buf[INFO_NUMBER_BUF];
    put_key(indent, key);
    if (std::isfinite(v)) {
        info_shortest_float(v, buf);
    } else {
        std::strcpy(buf, "null");
    }
    std::printf(last ? "%s\n" : "%s,\n", buf);
}

void put_attributes(const df_hdr_t &h) {
    constexpr const char *in = "      ";
    std::printf("    \"attributes\": {\n");
    put_int(in, "TimeStamp", h.TimeStamp, false);
    put_text(in, "comment", h.comment, strnlen(h.comment, sizeof h.comment), false);
    put_float(in, "IntfScaleFactor", h.IntfScaleFactor, false);
    put_float(in, "WavelengthIn", h.WavelengthIn, false);
    put_float(in, "ObliquityFactor", h.ObliquityFactor, false);
    put_float(in, "CameraRes", h.CameraRes, false);
    put_int(in, "PhaseRes", h.PhaseRes, false);
    put_int(in, "CameraWidth", h.CameraWidth, false);
    put_int(in, "CameraHeight", h.CameraHeight, false);
    put_float(in, "PixelWidth", h.PixelWidth, false);
    put_float(in, "PixelHeight", h.PixelHeight, true);
    std::printf("    },\n");
}

void put_window(const char *in, const window_t &w, bool last) {
    put_int(in, "x", w.x, false);
    put_int(in, "y", w.y, false);
    put_int(in, "width", w.width, false);
    put_int(in, "height", w.height, last);
}

void put_phase(const info_file_t &f) {
    constexpr const char *in = "      ";
    if (f.phase.matrix == nullptr) {
        std::printf("    \"phase\": null,\n");
        return;
    }
    const phase_stats_t &s = f.stats;
    std::printf("    \"phase\": {\n");
    put_window(in, f.phase.window, false);
    put_int(in, "valid", s.valid, false);
    put_int(in, "pixels", s.pixels, false);
    // Without a valid pixel the statistics are NaN, hence null.
    put_double(in, "min_nm", s.min_nm, false);
    put_double(in, "max_nm", s.max_nm, false);
    put_double(in, "pv_nm", s.pv_nm, false);
    put_double(in, "mean_nm", s.mean_nm, false);
    put_double(in, "rms_nm", s.rms_nm, true);
    std::printf("    },\n");
}

} // namespace

int info_shortest_double(double v, char *buf) {
    const std::to_chars_result r = std::to_chars(buf, buf + INFO_NUMBER_BUF - 1, v);
    *r.ptr = '\0';
    return static_cast<int>(r.ptr - buf);
}

int info_shortest_float(float v, char *buf) {
    const std::to_chars_result r = std::to_chars(buf, buf + INFO_NUMBER_BUF - 1, v);
    *r.ptr = '\0';
    return static_cast<int>(r.ptr - buf);
}

void info_json_begin() {
    std::printf("[");
}

void info_json_file(const info_file_t *file, bool first) {
    constexpr const char *in = "    ";
    std::printf(first ? "\n  {\n" : ",\n  {\n");
    put_text(in, "file", file->name, std::strlen(file->name), false);
    put_int(in, "header_bytes", file->header_bytes, false);
    put_int(in, "magic", file->magic, false);
    put_attributes(file->hdr);
    if (file->has_intensity) {
        std::printf("    \"intensity\": {\n");
        put_int("      ", "n_buckets", file->intensity_planes, false);
        put_window("      ", file->intensity_window, true);
        std::printf("    },\n");
    } else {
        std::printf("    \"intensity\": null,\n");
    }
    put_phase(*file);
    std::printf("    \"error\": null\n  }");
}

void info_json_error(const char *name, int32_t code, bool first) {
    constexpr const char *in = "      ";
    std::printf(first ? "\n  {\n" : ",\n  {\n");
    put_text("    ", "file", name, std::strlen(name), false);
    std::printf("    \"error\": {\n");
    const char *code_name = u_error_name(code);
    put_text(in, "code", code_name, std::strlen(code_name), false);
    const char *meaning = info_error_meaning(code);
    put_text(in, "message", meaning, std::strlen(meaning), true);
    std::printf("    }\n  }");
}

void info_json_end() {
    std::printf("\n]\n");
}

void info_json_budget(const rss_budget_t *budget, int32_t count) {
    constexpr const char *in = "      ";
    std::printf("{\n  \"inputs\": [");
    for (int32_t i = 0; i < count; ++i) {
        const rss_budget_row_t &r = budget->rows[i];
        std::printf(i == 0 ? "\n    {\n" : ",\n    {\n");
        put_text(in, "name", r.name, std::strlen(r.name), false);
        put_double(in, "weight", r.weight, false);
        put_double(in, "rms_nm", r.rms_nm, false);
        put_double(in, "max_nm", r.max_nm, false);
        put_double(in, "share", r.share, false);
        put_double(in, "dominant", r.dominant, false);
        put_int(in, "valid", r.valid, true);
        std::printf("    }");
    }
    std::printf("\n  ],\n  \"combined\": {\n");
    put_double("    ", "rms_nm", budget->rms_nm, false);
    put_double("    ", "max_nm", budget->max_nm, false);
    put_int("    ", "valid", budget->valid, true);
    std::printf("  }\n}\n");
}
