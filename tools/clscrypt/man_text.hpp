#pragma once

// The manual page's prose: its sections and, in each, the entry of every
// option with the commands it serves. docs.cpp heads each entry with what
// the parser knows of the option and checks that every option has one.

#include <vector>

namespace clscrypt::tool {

// An option's entry in the page: the commands it serves ('|' between
// them; "*" for every one), the option by one of its names, and its text.
struct ManEntry {
    const char* scope;
    const char* option;
    const char* text;
};

// A section: its title, the prose before its entries and after them.
struct ManSection {
    const char* title;
    const char* before;
    std::vector<ManEntry> entries;
    const char* after;
};

/// The sections in their order in the page.
const std::vector<ManSection>& manual_sections();

}  // namespace clscrypt::tool
