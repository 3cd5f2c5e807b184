# Sourced by the demo and the package checks: the SMS-DELIVER that the DM server's reply arrives
# as, in the hex a modem prints.
#
#   deliver_pdu NUMBER TEXT DEST_PORT SRC_PORT [STAMP]
#
# From NUMBER (international, its "+" dropped), 8-bit TEXT between 16-bit application ports,
# service-centre time stamp STAMP ("YYMMDDhhmmss" UTC, now when not given).

# Semi-octets, as addresses and time stamps carry digits: each pair swapped, F filling the last.
semi_octets() {
  local digits=$1 out=""
  [ $(( ${#digits} % 2 )) -eq 1 ] && digits="${digits}F"
  for (( i = 0; i < ${#digits}; i += 2 )); do out+="${digits:i+1:1}${digits:i:1}"; done
  echo "$out"
}

deliver_pdu() {
  local digits=${1#+} data header stamp
  data=$(printf '%s' "$2" | od -An -tx1 | tr -d ' \n' | tr a-f A-F)
  header=$(printf '060504%04X%04X' "$3" "$4")
  stamp="$(semi_octets "${5:-$(date -u +%y%m%d%H%M%S)}")00"
  # no service centre, SMS-DELIVER with a user-data header, international originator, 8-bit data
  printf '0044%02X91%s0004%s%02X%s%s\n' "${#digits}" "$(semi_octets "$digits")" "$stamp" \
    $(( (${#header} + ${#data}) / 2 )) "$header" "$data"
}
