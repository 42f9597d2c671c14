# Every C and C++ source is clang-formatted.
files=$(git ls-files '*.c' '*.cpp' '*.h' '*.hpp')
clang-format --dry-run --Werror $files
echo "format: $(echo "$files" | wc -l) files clean"
