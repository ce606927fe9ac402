# Veltrane News Router: demo start-up script.
#
# The relay runs this script in its control interpreter at start-up. It is
# where incoming peers are listed and outgoing sites are created. The demo
# lets this machine feed the relay (try: telnet 127.0.0.1 1119, then
# "mode stream" and "ssp", or veltrane-loadgen --port 1119) and feeds every
# article on to one site, the local veltrane-sink that scripts/run-demo.sh
# starts on 127.0.0.1:1120.

AddIncoming 127.0.0.1

# A peer may stream (check/takethis) unless told otherwise:
#   SetIncoming news.example.org streaming 0

# The outgoing site: its host and port, the newsgroups it wants, and its
# feeders (one connection each; "f" takes every article).
CreateSite 127.0.0.1 1120
SetSite 127.0.0.1 distribution "*"
SetSite 127.0.0.1 createfeeder f

# A site elsewhere would be made the same way:
#   CreateSite news.example.org 119
#   SetSite news.example.org distribution "comp.*,news.*,!news.admin.*"
#   SetSite news.example.org createfeeder f
#   SetSite news.example.org createfeeder f
# GetSiteList, GetSiteStats and GetSiteConfig news.example.org report them.
