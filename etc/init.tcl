# Veltrane News Router: demo start-up script.
#
# The relay runs this script in its control interpreter at start-up. It is
# where incoming peers are listed and outgoing sites are created; the demo
# lists none yet, so no peer is admitted and nothing is fed out.
