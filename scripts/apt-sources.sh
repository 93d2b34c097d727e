# shellcheck shell=bash
# Sourced by the scripts that need a package source: the machine's own apt
# configuration, so that no file of the project names a registry and every
# script follows whatever mirror the machine uses.

# release_sources [CODENAME]: the "deb" entries of the release's suites
# (CODENAME, CODENAME-updates, CODENAME-security; default: this machine's
# release), one line each: URI SUITE KEYRING COMPONENT... (KEYRING "-" where
# the entry names no file). Reads deb822 .sources files and one-line .list
# files alike, under APT_SOURCES_DIR (default /etc/apt); disabled entries
# are left out.
release_sources() {
    local codename=${1:-$(. /etc/os-release && echo "${VERSION_CODENAME:-}")} file
    local etc=${APT_SOURCES_DIR:-/etc/apt}
    {
        for file in "$etc"/sources.list.d/*.sources; do
            [[ -f $file ]] || continue
            awk 'function flush(   u, s, nu, ns, i, j, key) {
                     if (types ~ /(^| )deb( |$)/ && enabled != "no") {
                         nu = split(uris, u, " "); ns = split(suites, s, " ")
                         key = (signed ~ /^\//) ? signed : "-"
                         for (i = 1; i <= nu; i++) for (j = 1; j <= ns; j++)
                             print u[i], s[j], key, components
                     }
                     types = uris = suites = components = signed = enabled = ""
                 }
                 /^[ \t]*#/ { next }
                 /^[ \t]*$/ { flush(); next }
                 /^[ \t]/ { next }   # a continuation (an inline key)
                 { field = tolower($1); sub(/:$/, "", field); $1 = ""; sub(/^ +/, "")
                   if (field == "types") types = $0
                   else if (field == "uris") uris = $0
                   else if (field == "suites") suites = $0
                   else if (field == "components") components = $0
                   else if (field == "signed-by") signed = $0
                   else if (field == "enabled") enabled = tolower($0) }
                 END { flush() }' "$file"
        done
        for file in "$etc"/sources.list "$etc"/sources.list.d/*.list; do
            [[ -f $file ]] || continue
            awk '$1 != "deb" { next }
                 { key = "-"; i = 2
                   if ($2 ~ /^\[/) {
                       for (; i <= NF; i++) {
                           if ($i ~ /signed-by=/) { key = $i; sub(/.*signed-by=/, "", key); sub(/\]$/, "", key) }
                           if ($i ~ /\]$/) { i++; break }
                       }
                   }
                   line = $i " " $(i + 1) " " key
                   for (j = i + 2; j <= NF; j++) line = line " " $j
                   print line }' "$file"
        done
    } | awk -v c="$codename" '$2 == c || $2 == c "-updates" || $2 == c "-security"'
}

# release_uri [CODENAME]: the URI of the release's own suite (its main
# archive), from release_sources; fails when the machine has none.
release_uri() {
    local codename=${1:-$(. /etc/os-release && echo "${VERSION_CODENAME:-}")}
    release_sources "$codename" | awk -v c="$codename" '$2 == c && !found { print $1; found = 1 }
                                                        END { exit !found }'
}
