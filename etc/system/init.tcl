# Veltrane News Router: start-up script of the installed relay.
#
# The relay runs this script in its control interpreter at start-up (the
# key StartupScript in /etc/veltrane/veltrane.conf names it). It lists the
# incoming peers, the servers that may feed this relay, and creates the
# outgoing sites, the servers this relay feeds. As shipped it does neither:
# the relay starts, listens on port 119 and refuses every connection.
# Uncomment and adapt the examples below, then "systemctl restart veltrane".
# The same commands work on the running relay through veltrane-ctl(8), for
# example "veltrane-ctl AddIncoming peer.example.net".

# --- Incoming peers ---------------------------------------------------------
# A peer by name (its A and AAAA records, refreshed every hour), by IPv4 or
# by IPv6 address:
#   AddIncoming peer.example.net
#   AddIncoming 192.0.2.7
#   AddIncoming 2001:db8::7
# A peer may stream (check/takethis) unless told otherwise, and may hold
# SiteDefaultMaxIncomingConnections connections when the relay is busy:
#   SetIncoming peer.example.net streaming 0
#   SetIncoming peer.example.net max_connections 20

# --- Outgoing sites -----------------------------------------------------------
# A site: its host and port, the newsgroups it wants (patterns tried in the
# order written, the first that matches a group decides), and its feeders
# (one connection each; "f" takes every article):
#   CreateSite news.example.org 119
#   SetSite news.example.org distribution "!news.admin.*,comp.*,news.*"
#   SetSite news.example.org createfeeder f
#   SetSite news.example.org createfeeder f
# GetSiteList, GetSiteStats and GetSiteConfig news.example.org report them.
