// OPC part names: the names of a package's parts, never paths on a disk. A part name starts
// with "/", its segments are non-empty, are not "." or "..", do not end with ".", and hold only
// URI path characters; "/" and "\" may not hide behind percent-encoding and unreserved
// characters may not be percent-encoded at all. Part names compare without regard to ASCII
// case.
#pragma once

#include "platformexport.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace platform::xps {

// Why name is not a part name, or empty when it is one.
std::string PartNameProblem(std::string_view name);

// The key under which a part name is compared: ASCII letters in lower case.
std::string FoldPartName(std::string_view name);

// The part a relationship or markup reference points at, resolved against the part that holds
// it ("/" for the package itself). Throws PackageError when the target is external, leaves the
// package or is not a part name.
PLATFORM_EXPORT std::string ResolvePartReference(std::string_view sourcePart,
                                                 std::string_view target);

// The name target would be as a part name written in sourcePart: target itself when absolute,
// joined to sourcePart's folder when relative, with no "." or ".." resolved and nothing
// checked. False, with joined untouched, for an empty target, a source that is no part name
// and a target with a scheme. A joined name that is a part name is what ResolvePartReference
// answers; one that is not must go through it.
bool JoinPartReference(std::string_view sourcePart, std::string_view target, std::string& joined);

// The relationships part of a part ("/_rels/.rels" for "/").
std::string RelationshipsPartOf(std::string_view partName);

// Whether two part names are the same part's: equal without regard to ASCII case.
bool SamePartName(std::string_view a, std::string_view b);

// A 64-bit key of a part name that ignores ASCII case, for sets that must stay small. Keys
// are not names: anyone can make two names collide, so a set that finds a name by its key
// compares the names too.
uint64_t PartNameKey(std::string_view name);

// A reference to target written in sourcePart: relative when target lies in sourcePart's
// folder or below it, else absolute. A view of target.
std::string_view ReferenceFrom(std::string_view sourcePart, std::string_view target);

} // namespace platform::xps
