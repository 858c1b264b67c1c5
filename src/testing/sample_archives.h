// Test support: the sample archives that more than one test walks over,
// built field by field: the small valid archives of the damaged-archive
// sweep, and the fuzzer's seeds.
#ifndef STARTER_TESTING_SAMPLE_ARCHIVES_H
#define STARTER_TESTING_SAMPLE_ARCHIVES_H

#include <string>
#include <utility>
#include <vector>

namespace testing_support {

/// A valid archive and the bytes each of its entries unpacks to, by index
/// (empty for a folder).
struct SweepSample {
  std::string bytes;
  std::vector<std::string> contents;
};

/// A folder, a stored file in it and a deflated file, with an archive
/// comment.
SweepSample PlainSweepSample();

/// The same three entries with Zip64 extra fields, a data descriptor and a
/// Zip64 end record.
SweepSample Zip64SweepSample();

/// The fuzzer's seed archives as (file name, bytes): each shows one structure
/// the fuzzer would take long to find alone (methods, folders, Zip64, data
/// descriptors, comments, hostile and clashing names, prefixed archives,
/// refused entries, sizes past any disk, overlapping entries, honest and
/// lying piece indexes).
std::vector<std::pair<std::string, std::string>> FuzzSeedArchives();

}  // namespace testing_support

#endif  // STARTER_TESTING_SAMPLE_ARCHIVES_H
