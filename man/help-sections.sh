#!/bin/sh
# SPDX-License-Identifier: MIT
# help2man runs "help-sections.sh PROGRAM --help": PROGRAM's own help, with
# its "Commands:" and "Exit codes:" lists turned into sections of the page
# (help2man starts a section at a "*Name*" line). Standard error stays out:
# Qt's or a sanitizer's messages are no part of the help.
program=$1
shift
"$program" "$@" 2>/dev/null | sed -e 's/^Commands:$/*Commands*/' -e 's/^Exit codes:$/*Exit status*/'
