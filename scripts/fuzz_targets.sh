# Sourced by the fuzz scripts: the table of fuzz targets in fuzz/targets.txt, as shell functions.
# fuzz_field TARGET N prints field N (1: name, 2: dictionaries, 3: longest input, 4: sources) with
# its commas turned to spaces; all_fuzz_targets prints every name.
fuzz_table=fuzz/targets.txt

all_fuzz_targets() {
  awk '/^[a-z]/ { print $1 }' "$fuzz_table"
}

fuzz_field() {
  awk -v target="$1" -v field="$2" '$1 == target { gsub(",", " ", $field); print $field }' \
    "$fuzz_table"
}
