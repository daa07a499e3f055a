// Fuzz target: the readers of manifests and JSON parameter files.
//
// An input is a manifest or a parameter file, JSON or not. Besides the sanitizers (which see a
// walk over a value that nests without bound as a stack overflow), every input is checked
// against what the readers promise: a refusal only by the readers' own exceptions, never another
// one; an accepted manifest, written back and read again, gives the same text, and its
// parameters are those a parameter file of that text gives; and a JSON parameter file gives
// parseParameterFile the values readJsonParameters gives, unless the scenario cannot run.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "grouptrace/parameters.h"
#include "manifest/manifest.h"
#include "parameters/parameter_table.h"

namespace {

using namespace grouptrace;

bool sameParameters(const Parameters& a, const Parameters& b) {
  for (std::size_t i = 0; i < kParameterTable.size(); ++i) {
    if (parameterAt(a, i) != parameterAt(b, i)) return false;
  }
  return true;
}

void checkManifest(std::string_view text) {
  Manifest manifest;
  try {
    manifest = readManifest(text);
  } catch (const ManifestError&) {
    return;
  }
  const std::string written = manifestJson(manifest);
  Manifest again;
  try {
    again = readManifest(written);
  } catch (const ManifestError& e) {
    fail("a manifest read back refused: %s\n%s", e.what(), written.c_str());
  }
  CHECK(manifestJson(again) == written, "a manifest read back differs:\n%s", written.c_str());
  try {
    CHECK(sameParameters(readJsonParameters(written), manifest.config.parameters),
          "a manifest's parameters differ as a parameter file's");
  } catch (const ManifestError& e) {
    fail("a manifest refused as a parameter file: %s", e.what());
  }
}

void checkParameterFile(std::string_view text) {
  Parameters json;
  bool isJson = false;
  try {
    json = readJsonParameters(text);
    isJson = true;
  } catch (const ManifestError&) {
  }
  try {
    const Parameters read = parseParameterFile(text);
    CHECK(!isJson || sameParameters(read, json), "a JSON parameter file read two ways differs");
  } catch (const ParameterError&) {
    // A stream, or a scenario that cannot run (no node, no session).
  } catch (const std::invalid_argument&) {
    CHECK(!isJson, "a JSON parameter file readJsonParameters takes is refused");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  checkManifest(text);
  checkParameterFile(text);
  return 0;
}
