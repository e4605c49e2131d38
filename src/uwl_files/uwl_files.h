#pragma once
// The URL category filter: the signed list files of UwlDirectory filed by
// category.

#include <array>
#include <string>
#include <vector>

#include "uwl_files/url_categories.h"
#include "uwl_files/uwl_file.h"

struct uwl_category {
    const char* name;
    std::vector<UwlFile> black;
    std::vector<UwlFile> white;
};

#define VRX_URL_CATEGORY_SLOT(id, key, category, on) +1
constexpr size_t uwl_category_count = 0 VRX_URL_CATEGORIES(VRX_URL_CATEGORY_SLOT);
#undef VRX_URL_CATEGORY_SLOT

// The categories in the order of VRX_URL_CATEGORIES ("porno" first,
// "malware" last); a category's index is the override id of its Block key.
std::array<uwl_category, uwl_category_count>& uwl_categories();

// Reads every list file of `directory` (UwlDirectory) into
// the categories, first checking and installing delivered ".cache" files.
// Returns 0 when the directory cannot be opened, else 1 (bad files are
// logged and left out).
int uwl_files_load(const std::string& directory);

// Empties every category and unmaps its files.
void uwl_files_release();

// The black and white lists of every category, in table order: the lists
// in force are set aside while a reload tries its own, and put back when
// that reload fails.
struct uwl_lists {
    std::array<std::vector<UwlFile>, uwl_category_count> black, white;
};
// Moves the lists out of the table, leaving it empty.
uwl_lists uwl_files_take();
// Releases what the table holds and moves `lists` back into it.
void uwl_files_put_back(uwl_lists&& lists);
