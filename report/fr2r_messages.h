// The scanner's standard error: the directories it could not read and how
// it ended, from a saved file, from several (a stopped run and its resumes),
// or from the scanner's pipe as it comes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// A directory the scanner could not read (wholly or in part), from its
// standard error.
struct fr2r_problem {
    std::string kind;     // "locked", "timeout" or "read error"
    std::string path;     // byte-exact
    std::string message;  // the scanner's line
};

// What the scanner said on standard error, and how it ended.
struct fr2r_messages {
    bool known = false;          // messages were given (--messages, or scan)
    int status = -1;             // the scanner's exit status; -1 unknown
    std::string summary;         // its final "fsrake2 done: ..." line
    int64_t summary_lines = -1;  // the line count of that summary
    bool no_progress = false;    // it gave up on threads that made no progress
    bool write_error = false;    // it could not write its output
    std::string fatal;           // another line that ended it early
    std::vector<fr2r_problem> problems;
};

// Takes one line of the scanner's standard error (without its line feed).
void fr2r_messages_line(fr2r_messages *m, const std::string &line);
// Takes n bytes of the scanner's standard error as they come: each whole
// line goes to fr2r_messages_line, the start of an unfinished one waits in
// *partial. fr2r_messages_end takes what is left of it at the end.
void fr2r_messages_feed(fr2r_messages *m, std::string *partial, const char *buf, size_t n);
void fr2r_messages_end(fr2r_messages *m, std::string *partial);
// Reads a saved standard error. Returns 0, or -1 after a message.
int fr2r_messages_read(const char *path, fr2r_messages *m);
// The scanner's standard error of one run or of several (a stopped run and
// its resumes, in order): problems of every run count; how it ended (status
// aside, which comes from the caller) is what the last run said. A run that
// stopped to be resumed ("fsrake2: stopped; resume with --resume CK") is not
// complete. Returns 0, or -1 after a message.
int fr2r_messages_read_all(const std::vector<std::string> &paths, fr2r_messages *m);
