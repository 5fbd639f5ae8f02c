# Sourced by the fuzz scripts: the targets are the tests/fuzz/fuzz_NAME.cpp
# files (tests/fuzz/CMakeLists.txt builds the same list).
fuzz_targets=()
for source in "$(dirname "${BASH_SOURCE[0]}")"/../tests/fuzz/fuzz_*.cpp; do
  source=${source##*/fuzz_}
  fuzz_targets+=("${source%.cpp}")
done
