#!/bin/sh
# tshark reads what VEXO_USB_CAPTURE records as USB: the device descriptor request, the vendor
# requests by code and the bulk reads with the lengths the board sent, and the two caps hold.
#   usb_capture_tshark.sh USB_CAPTURE_DEMO
set -eu
demo=$1
run=$(dirname "$0")/usbfs_run.sh
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
fields() { tshark -r "$1" -Y "$2" -T fields -E separator=, $3 2>/dev/null; }
# One pass over the whole capture: urb type, transfer type, endpoint, request type, request,
# wLength, urb length, data length, status.
table() {
    tshark -r "$1" -T fields -E separator=, -e usb.urb_type -e usb.transfer_type \
        -e usb.endpoint_address -e usb.bmRequestType -e usb.setup.bRequest -e usb.setup.wLength \
        -e usb.urb_len -e usb.data_len -e usb.urb_status 2>/dev/null
}

VEXO_USB_CAPTURE=$dir/full.pcap sh "$run" "$demo" 3 "$dir/frames" >/dev/null
table "$dir/full.pcap" > "$dir/table"
frame_bytes=$((640 * 480))
[ "$(stat -c %s "$dir/frames")" -eq $((3 * frame_bytes)) ] || fail "the demo did not read 3 frames"

# The first event is the GET_DESCRIPTOR(DEVICE) submission; its answer is the 18-byte descriptor
# of the board (vendor 52cb, product 03f1).
first=$(tshark -r "$dir/full.pcap" -c 2 -T fields -E separator=, -e usb.urb_type \
        -e usb.transfer_type -e usb.setup.bRequest -e usb.bDescriptorType -e usb.urb_len \
        -e usb.idVendor -e usb.idProduct 2>/dev/null | tr '\n' ' ')
[ "$first" = "'S',0x02,6,0x01,18,, 'C',0x02,,0x01,18,0x52cb,0x03f1 " ] ||
    fail "device descriptor request decoded as: $first"

# Vendor requests: the firmware version (0x80), the board-controller id read (0xB0, 24 bytes)
# and write (0xB1, 16 bytes), the board-controller register read (0xD6) and write (0xD7).
for want in "0xc0,128" "0xc0,176,24" "0x40,177,16" "0xc0,214,2" "0x40,215,1"; do
    code=$(echo "$want" | cut -d, -f2)
    got=$(awk -F, -v c="$code" '$1=="\x27S\x27" && $5==c {print $4","$5","$6; exit}' "$dir/table")
    case "$got" in "$want"*) ;; *) fail "vendor request $code decoded as '$got'" ;; esac
done

# Bulk reads on 0x81: submissions ask for 512 KiB and carry no data; each of the first three
# completions moved a frame and its framing and keeps its first 262080 bytes (the longest event
# libpcap reads back).
sub=$(awk -F, '$2=="0x03" && $1=="\x27S\x27" {print $3","$7","$8}' "$dir/table" | sort -u)
[ "$sub" = "0x81,524288,0" ] || fail "bulk submissions decoded as: $sub"
awk -F, '$2=="0x03" && $1=="\x27C\x27" && $9==0 {print $7","$8}' "$dir/table" > "$dir/bulk"
[ "$(wc -l < "$dir/bulk")" -ge 3 ] || fail "fewer than 3 bulk completions"
head -3 "$dir/bulk" | while IFS=, read -r len kept; do
    [ "$kept" = 262080 ] && [ "$len" -gt $frame_bytes ] || fail "bulk completion $len,$kept"
done

# VEXO_USB_CAPTURE_DATA keeps the first bytes of each transfer; tshark still sees the length.
VEXO_USB_CAPTURE=$dir/cut.pcap VEXO_USB_CAPTURE_DATA=1000 sh "$run" "$demo" 3 >/dev/null
cut=$(fields "$dir/cut.pcap" "usb.transfer_type==3 && usb.urb_type=='C' && usb.urb_status==0" \
      "-e usb.urb_len -e usb.data_len" | head -1)
[ "$cut" = "$(head -1 "$dir/bulk" | cut -d, -f1),1000" ] || fail "capped completion: $cut"

# VEXO_USB_CAPTURE_MAX stops the file short of the cap, and what is there stays readable.
VEXO_USB_CAPTURE=$dir/small.pcap VEXO_USB_CAPTURE_MAX=200000 sh "$run" "$demo" 3 \
    >/dev/null 2>"$dir/err"
[ "$(stat -c %s "$dir/small.pcap")" -le 200000 ] || fail "file cap exceeded"
grep -q "capture reached 200000 bytes" "$dir/err" || fail "the file cap was not reported"
tshark -r "$dir/small.pcap" >/dev/null 2>&1 || fail "tshark cannot read the capped file"
echo "1 passed, 0 failed"
