# The product's names, read from engine/product.h, where the program takes
# them from too. Sourced: sets SORVAN_CLSID, SORVAN_COMPONENTS (the four, in
# the order the setup handles them), SORVAN_SETUP_EXE and
# SORVAN_DIGESTS_MARKER.
sorvan_product_header="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/engine/product.h"
sorvan_product_define() {
  sed -n "s/^#define $1 \"\\(.*\\)\"\$/\\1/p" "$sorvan_product_header"
}
SORVAN_CLSID=$(sorvan_product_define SORVAN_CONTROL_CLSID)
SORVAN_SETUP_EXE=$(sorvan_product_define SORVAN_SETUP_EXE)
SORVAN_DIGESTS_MARKER=$(sorvan_product_define SORVAN_DIGESTS_MARKER)
mapfile -t SORVAN_COMPONENTS < <(sorvan_product_define 'SORVAN_COMPONENT_[1-4]')
if [ -z "$SORVAN_CLSID" ] || [ -z "$SORVAN_SETUP_EXE" ] || [ "${#SORVAN_COMPONENTS[@]}" -ne 4 ]; then
  echo "could not read the product's names from $sorvan_product_header" >&2
  exit 1
fi
