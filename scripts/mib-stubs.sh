#!/usr/bin/env bash
# Writes into DIR the least stand-ins of the standard modules mibs/ZRT4600A-MIB.txt imports
# (SNMPv2-SMI, SNMPv2-TC, SNMPv2-CONF, SNMP-FRAMEWORK-MIB): only the macros and types it
# imports, the texts with their display hints, so that smilint and net-snmp's tools can read the MIB. Debian's main archive ships
# none of these modules (the package that downloads them is non-free). The stand-ins serve
# the checks and the examples in docs/snmp.md; they are not installed, and a manager that has the
# real modules needs none of them.
#   bash scripts/mib-stubs.sh DIR
set -euo pipefail
dir="${1:?usage: mib-stubs.sh DIR}"
mkdir -p "${dir}"
cat >"${dir}/SNMPv2-SMI" <<'MIB'
SNMPv2-SMI DEFINITIONS ::= BEGIN
enterprises OBJECT IDENTIFIER ::= { 1 3 6 1 4 1 }
MODULE-IDENTITY MACRO ::= BEGIN END
OBJECT-TYPE MACRO ::= BEGIN END
NOTIFICATION-TYPE MACRO ::= BEGIN END
Integer32 ::= INTEGER (-2147483648..2147483647)
Unsigned32 ::= [APPLICATION 2] IMPLICIT INTEGER (0..4294967295)
Counter32 ::= [APPLICATION 1] IMPLICIT INTEGER (0..4294967295)
END
MIB
cat >"${dir}/SNMPv2-TC" <<'MIB'
SNMPv2-TC DEFINITIONS ::= BEGIN
TEXTUAL-CONVENTION MACRO ::= BEGIN END
DateAndTime ::= TEXTUAL-CONVENTION
    DISPLAY-HINT "2d-1d-1d,1d:1d:1d.1d,1a1d:1d"
    STATUS       current
    DESCRIPTION  "A date and time."
    SYNTAX       OCTET STRING (SIZE (8 | 11))
END
MIB
cat >"${dir}/SNMPv2-CONF" <<'MIB'
SNMPv2-CONF DEFINITIONS ::= BEGIN
MODULE-COMPLIANCE MACRO ::= BEGIN END
OBJECT-GROUP MACRO ::= BEGIN END
NOTIFICATION-GROUP MACRO ::= BEGIN END
END
MIB
cat >"${dir}/SNMP-FRAMEWORK-MIB" <<'MIB'
SNMP-FRAMEWORK-MIB DEFINITIONS ::= BEGIN
IMPORTS TEXTUAL-CONVENTION FROM SNMPv2-TC;
SnmpAdminString ::= TEXTUAL-CONVENTION
    DISPLAY-HINT "255t"
    STATUS       current
    DESCRIPTION  "A text in UTF-8."
    SYNTAX       OCTET STRING (SIZE (0..255))
END
MIB
