#!/usr/bin/env bash
# A 40-line bill sent to the running service, on the harness's 58 mm and
# 80 mm roll printers, comes out as one page per receipt, as wide as the roll
# and cut a little below its last line.
#
#   receipt_rolls.sh KORVEL_BINARY
#
# Runs the service from a copy in a scratch folder; holds the command port's
# resource lock (see CMakeLists.txt). Exit 77: skipped.
set -uo pipefail

korvel=${1:?usage: receipt_rolls.sh KORVEL_BINARY}
if [[ ${KORVEL_IN_HARNESS:-} != 1 || -z ${KORVEL_RECEIPT_DIR:-} ]]; then
    echo "SKIP: needs the test harness (network namespace, CUPS, X): scripts/test"
    exit 77
fi

mm_pt() { awk -v mm="$1" 'BEGIN { printf "%.2f", mm * 72 / 25.4 }'; }
fail() {
    echo "FAIL: $*"
    exit 1
}

work=$(mktemp -d "${KORVEL_HARNESS_TMP:-/tmp}/receipt-rolls.XXXXXX") || exit 1
cp "$korvel" "$work/" || exit 1
(cd "$work" && exec "./$(basename "$korvel")") >"$work/service.out" 2>&1 &
service=$!
trap 'kill -TERM $service 2>/dev/null; wait $service 2>/dev/null' EXIT

post() { curl -s -m 10 --data-binary "$1" http://127.0.0.1:12380/; }

for ((i = 0; i < 300; i++)); do
    [[ -n $(post '{"Msg":"GetRoomArea"}' 2>/dev/null) ]] && break
    kill -0 $service 2>/dev/null || fail "the service ended: $(tail -5 "$work/service.out")"
    sleep 0.1
done

# The service lists its printers off the main thread; beside other tests that
# first listing can come late, and a receipt for a printer not listed yet is
# refused.
for ((i = 0; i < 300; i++)); do
    [[ $(post '{"Msg":"PrinterStatus"}' 2>/dev/null) == *receipt80* ]] && break
    sleep 0.1
done

# What a cashier sends: the paper's width, and Height 0 for the printer's own length.
answer=$(post '{"Msg":"Settings","data":[{"Name":"receipt58","Width":58,"Height":0},{"Name":"receipt80","Width":80,"Height":0}]}')
[[ $answer == '{"code":200}' ]] || fail "Settings answered '$answer'"

# One paragraph per line, in the receipt's own font: longer than an A4 sheet.
items=
for ((i = 1; i <= 37; i++)); do
    items+="<p>$i. 拿铁 Latte 36.00</p>"
done

status=0
for width in 58 80; do
    printer=receipt$width
    bill="<p align=\\\"center\\\"><b>Table 7 桌号 7</b></p><p>2024-05-01 12:30 No. $width</p>$items"
    bill+='<p><b>Total 合计 1332.00</b></p>'
    shopt -s nullglob
    before=("$KORVEL_RECEIPT_DIR"/receipt-*.pdf)
    answer=$(post "{\"Name\":\"$printer\",\"data\":\"<html><body>$bill</body></html>\"}")
    [[ $answer == '{"code":200}' ]] || fail "$printer: print answered '$answer'"
    # Receipts of earlier tests may still land meanwhile: this one is the
    # new one with this bill's number on it.
    receipt=
    for ((i = 0; i < 300; i++)); do
        for file in "$KORVEL_RECEIPT_DIR"/receipt-*.pdf; do
            [[ " ${before[*]} " == *" $file "* ]] && continue
            [[ $(pdftotext "$file" - 2>/dev/null) == *"No. $width"*"1332.00"* ]] && receipt=$file
        done
        [[ -n $receipt ]] && break
        sleep 0.1
    done
    [[ -n $receipt ]] || fail "$printer: no receipt in $KORVEL_RECEIPT_DIR after 30 s"

    info=$(pdfinfo "$receipt")
    pages=$(awk '/^Pages:/ { print $2 }' <<<"$info")
    read -r page_w page_h < <(awk '/^Page size:/ { print $3, $5 }' <<<"$info")
    # Lowest edge of any word, measured from the top of the page.
    last=$(pdftotext -bbox "$receipt" - | grep -o 'yMax="[0-9.]*"' | tr -dc '0-9.\n' | sort -n | tail -n 1)
    text=$(pdftotext "$receipt" -)
    echo "$printer: $pages page(s), ${page_w} x ${page_h} pt, last line ends at ${last} pt"

    ok=1
    [[ $pages == 1 ]] || ok=0
    [[ $text == *"1. 拿铁 Latte"* && $text == *"37. 拿铁 Latte"* && $text == *"合计 1332.00"* ]] || ok=0
    awk -v w="$page_w" -v want="$(mm_pt "$width")" 'BEGIN { exit !(w - want < 1.5 && want - w < 1.5) }' || ok=0
    # The cut follows the content: below the last line, and within 15 mm of it.
    awk -v h="$page_h" -v last="${last:-0}" -v slack="$(mm_pt 15)" \
        'BEGIN { exit !(last > 0 && h > last && h - last < slack) }' || ok=0
    if ((!ok)); then
        echo "FAIL: $printer: the receipt is not one page of $width mm cut after its 40 lines ($receipt)"
        status=1
    fi
done
exit $status
