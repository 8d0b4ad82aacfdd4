// Printable forms of names from a scan, which may hold any byte but NUL and
// '/': for a terminal, for JSON and for HTML.
#pragma once

#include <string>

// Control bytes and bytes that are not UTF-8 as \n, \t, \xNN.
std::string fr2r_term_escape(const std::string &s);
// Bytes that are not UTF-8 as \udcNN, so that the exact bytes can be recovered.
std::string fr2r_json_escape(const std::string &s);
// & < > " ' as entities, after the terminal's escapes.
std::string fr2r_html_escape(const std::string &s);
