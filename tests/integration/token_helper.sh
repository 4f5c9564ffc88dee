#!/bin/sh
# A stand-in for an OAuth 2.0 helper that prints an access token, for the tests: it prints
# the first line of the file it is given on standard output and nothing else; a sign-in
# notice goes to standard error, as a real helper's prompt would. A missing or empty
# file is a failed sign-in (status 1).
#   SMTP_PASS_COMMAND=sh /path/to/token_helper.sh /path/to/token.txt
file="$1"
if [ -z "$file" ] || [ ! -s "$file" ]; then
  echo "token_helper: no token in '$file'" >&2
  exit 1
fi
echo "token_helper: token from $file" >&2
head -n 1 "$file"
