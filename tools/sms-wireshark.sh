#!/bin/sh
# sms-wireshark.sh [--fields] submit|deliver PDU...: Wireshark's reading of SMS PDUs as AT+CMGF=0
# carries them (hex, the service-centre address first). Each goes to tshark as the TPDU of an
# RP-DATA message (phone to network for a submit, network to phone for a deliver), and tshark shows
# the SMS part; with --fields, one line a PDU: TP-MTI, TP-UDHI, TP-DA, TP-DCS, TP-VPF, TP-VP,
# destination and originator port, the concatenation's reference, parts and part, the user data in
# hex, "|" between them. Exits 2 when tshark or text2pcap is missing.
fields=""
[ "${1:-}" = --fields ] && { fields=yes; shift; }
direction=${1:-}
shift
case "$direction" in submit|deliver) ;; *) echo "usage: sms-wireshark.sh [--fields] submit|deliver PDU..." >&2; exit 1 ;; esac
command -v tshark >/dev/null && command -v text2pcap >/dev/null || { echo "sms-wireshark.sh: tshark is not installed" >&2; exit 2; }

for pdu in "$@"; do
  centre=$(( 2 + 2 * $(printf '%d' "0x$(echo "$pdu" | cut -c1-2)") ))
  address=$(echo "$pdu" | cut -c1-$centre)
  [ "$centre" -gt 2 ] || address=0191  # none given: an empty address of the usual type
  tpdu=$(echo "$pdu" | cut -c$((centre + 1))-)
  length=$(printf '%02X' $(( ${#tpdu} / 2 )))
  if [ "$direction" = submit ]; then rp="000100$address$length$tpdu"; else rp="0101${address}00$length$tpdu"; fi
  echo "0000 $(echo "$rp" | sed 's/../& /g')"
done | text2pcap -q -l 147 - - 2>/dev/null | {
  set -- -r - -o 'uat:user_dlts:"User 0 (DLT=147)","gsm_a_rp","0","","0",""' -o gsm_sms.reassemble:FALSE
  if [ -n "$fields" ]; then
    tshark "$@" -T fields -E separator='|' -e gsm_sms.tp-mti -e gsm_sms.tp-udhi -e gsm_sms.tp-da -e gsm_sms.tp-dcs \
      -e gsm_sms.tp-vpf -e gsm_sms.vp.validity_period -e gsm_sms.destination_port -e gsm_sms.originator_port \
      -e gsm_sms.udh.mm.msg_id -e gsm_sms.udh.mm.msg_parts -e gsm_sms.udh.mm.msg_part -e gsm_sms.sms_body 2>/dev/null
  else
    tshark "$@" -O gsm_sms -V 2>/dev/null | sed -n '/^GSM SMS TPDU/,/^$/p'
  fi
}
