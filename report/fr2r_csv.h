// One line of a scan, decoded: 17 fields, three of them quoted with doubled
// quotes inside; a quoted path may hold commas and line feeds.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

enum { FR2R_NFIELDS = 17 };
// The scanner never writes a line of 16384 bytes or more; a record that runs
// past this is broken (usually a quote left open) and is reported as such.
enum { FR2R_MAX_RECORD = 16384 };

// One data line of a scan, decoded. Unsigned 64-bit columns (inode, parent
// inode, device, blocks) are kept as their bit pattern.
struct fr2r_entry {
    uint64_t inode;
    uint64_t parent_inode;
    int64_t depth;
    std::string path;       // byte-exact, quotes undoubled
    std::string extension;  // byte-exact
    uint32_t uid;
    uint32_t gid;
    int64_t size;
    uint64_t dev;
    uint64_t blocks;
    uint32_t nlink;
    uint32_t mode;
    int64_t atime;
    int64_t mtime;
    int64_t ctime;
    int64_t fcount;
    int64_t dirsum;
};

enum fr2r_parse_status {
    FR2R_PARSE_OK = 0,
    FR2R_PARSE_NEED_MORE = 1,  // the record is not complete in the bytes given
    FR2R_PARSE_ERROR = 2,
};

// Parses one record that starts at data[0]. eof says no bytes follow the
// len given. On OK *used is the record's length including its line feed and
// *lines the number of line feeds in it; on ERROR *why says what is wrong.
fr2r_parse_status fr2r_parse_record(const char *data, size_t len, bool eof, fr2r_entry *e,
                                    size_t *used, int *lines, std::string *why);
// The header line fsrake2 prints with --header (without its line feed).
extern const char *const g_fr2r_header;
