#!/bin/sh
# Runs a test program under umockdev-wrapper. umockdev's preload library comes before the
# sanitizer runtime in the library list, which AddressSanitizer refuses unless told that the
# order is fine: the preload only forwards file and ioctl calls.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
# ThreadSanitizer cannot see the emulated kernel's hand-off through umockdev's socket.
TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}suppressions=$(dirname "$0")/usbfs_tsan.supp"
export ASAN_OPTIONS TSAN_OPTIONS
exec umockdev-wrapper "$@"
