#!/usr/bin/env bash
# Checks the administrative templates: well-formed XML; every $(string.X),
# $(presentation.X), supportedOn, category and presentation reference
# resolves between the ADMX and each ADML; policy names are unique; keys,
# value names and ranges are the module's own (platform/Names.h).
# Usage: tools/check-policy.sh [folder with the .admx and <language>/*.adml]
# Exit 1 and one line per problem when anything does not hold.
set -uo pipefail
cd "$(dirname "$0")/.."
folder=${1:-packaging/policy}
names=platform/Names.h
admx=$folder/KestavClientDriver.admx
problems=0
problem() { echo "PROBLEM $*"; problems=$((problems + 1)); }

# The values of one attribute over an XPath, one per line.
attributes() {  # file, xpath ending in /@name
  xmllint --xpath "$2" "$1" 2>/dev/null | grep -o '"[^"]*"' | tr -d '"'
}
references() {  # file, kind (string or presentation)
  grep -o "\$($2\.[A-Za-z0-9_]*)" "$1" | sed "s/^\$($2\.//; s/)\$//" | sort -u
}
constant() {  # a string constant of platform/Names.h, backslashes single
  sed -n "s/.*$1 = \"\\(.*\\)\";/\\1/p" "$names" | sed 's/\\\\/\\/g'
}

[ -f "$admx" ] || { echo "PROBLEM no $admx"; exit 1; }
languages=$(find "$folder" -mindepth 2 -name KestavClientDriver.adml | sort)
[ -n "$languages" ] || problem "no ADML beside $admx"
for file in "$admx" $languages; do
  xmllint --noout "$file" 2>/dev/null || problem "$file is not well-formed XML"
done

policy='//*[local-name()="policy"]'
duplicates=$(attributes "$admx" "$policy/@name" | sort | uniq -d)
[ -z "$duplicates" ] || problem "policy names used twice: $duplicates"
categories=$(attributes "$admx" '//*[local-name()="category"]/@name')
for ref in $(attributes "$admx" '//*[local-name()="parentCategory"]/@ref'); do
  grep -qx "$ref" <<<"$categories" || problem "category $ref is not defined"
done
supported=$(attributes "$admx" '//*[local-name()="supportedOn"]/*[local-name()="definitions"]/*/@name')
for ref in $(attributes "$admx" "$policy/*[local-name()=\"supportedOn\"]/@ref"); do
  case "$ref" in
    windows:*) ;;
    *) grep -qx "$ref" <<<"$supported" || problem "supportedOn $ref is not defined" ;;
  esac
done
elements=$(attributes "$admx" "$policy/*[local-name()=\"elements\"]/*/@id")

for adml in $languages; do
  strings=$(attributes "$adml" '//*[local-name()="string"]/@id')
  for id in $(references "$admx" string); do
    grep -qx "$id" <<<"$strings" || problem "$adml has no string $id"
  done
  presentations=$(attributes "$adml" '//*[local-name()="presentation"]/@id')
  for id in $(references "$admx" presentation); do
    grep -qx "$id" <<<"$presentations" || problem "$adml has no presentation $id"
  done
  for id in $(attributes "$adml" '//*[local-name()="presentation"]/*/@refId'); do
    grep -qx "$id" <<<"$elements" || problem "$adml presents $id, which the ADMX does not define"
  done
done

# The module's key, value names and range.
key=$(constant kPolicyKey)
for file_key in $(attributes "$admx" "$policy/@key" | sed 's/ /%20/g'); do
  [ "${file_key//%20/ }" = "$key" ] || problem "a policy writes ${file_key//%20/ }, the module reads $key"
done
wanted=$(for c in kIsolateDriver kDriverTimeoutSeconds kInstrumentThread; do constant "$c"; done | sort)
written=$( (attributes "$admx" "$policy/@valueName"; attributes "$admx" "$policy//*[local-name()=\"decimal\"]/@valueName") | sort -u)
[ "$written" = "$wanted" ] || problem "the ADMX writes values \"$(echo $written)\", the module reads \"$(echo $wanted)\""
range=$(sed -n 's/.*kDriverTimeoutSetting = {kDriverTimeoutSeconds, \([0-9]*\), \([0-9]*\), [0-9]*};/\1 \2/p' "$names")
minimum=$(attributes "$admx" '//*[local-name()="decimal"][@id="DriverTimeoutSeconds"]/@minValue')
maximum=$(attributes "$admx" '//*[local-name()="decimal"][@id="DriverTimeoutSeconds"]/@maxValue')
[ "$minimum $maximum" = "$range" ] || problem "DriverTimeoutSeconds takes $minimum to $maximum, the module ${range/ / to }"

if [ "$problems" -ne 0 ]; then exit 1; fi
echo "policy templates: $(attributes "$admx" "$policy/@name" | wc -l) policies, $(wc -w <<<"$languages") languages, every reference resolves, names and range the module's"
