#!/bin/sh
# Prints the Debian archive this machine's packages come from (its own
# release's Debian origin), whatever mirror the machine is set up for: the
# one the chroots and containers of the checks are made from.
set -eu
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
mirror=$(apt-get indextargets --format '$(ORIGIN) $(RELEASE) $(REPO_URI)' 'Created-By: Packages' |
         awk -v r="$codename" '$1 == "Debian" && $2 == r { print $3; exit }')
if [ -z "$mirror" ]; then
    echo "FAILED: no Debian archive for $codename in this machine's apt sources" >&2
    exit 1
fi
echo "$mirror"
