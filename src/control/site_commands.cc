// Control commands for the outgoing sites: create and delete them, set their
// parameters, start and stop their feeders, and report them.
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "control/commands.h"
#include "feeds/site.h"
#include "feeds/site_queues.h"

namespace {

// The first site in slot order whose name matches.
Site* FindSite(SiteTable& sites, const char* name, int (*compare)(const char*, const char*)) {
  for (std::atomic<Site*>& slot : sites.siteArray) {
    Site* site = slot.load();
    if (site != nullptr && compare(site->GetHostName(), name) == 0) return site;
  }
  return nullptr;
}

int LowestFreeSlot(SiteTable& sites) {
  for (uint32_t i = 0; i < kMaxSites; i++) {
    if (sites.siteArray[i].load() == nullptr) return int(i);
  }
  return -1;
}

// A prefetch value 1 to 29; anything else is refused without a message.
int SetPrefetch(Site* site, std::atomic<uint32_t>* field, const char* text) {
  int value = atoi(text);
  if (value < 1 || value > int(kMaxPrefetch)) return TCL_ERROR;
  *field = uint32_t(value);
  site->updateCount++;
  return TCL_OK;
}

// "type[,message-id]": the type letter, then where the feeder starts.
int CreateFeeder(Tcl_Interp* interp, Site* site, const char* value) {
  const char* comma = strchr(value, ',');
  std::string startId = comma != nullptr ? std::string(comma + 1, strcspn(comma + 1, ",")) : "";
  int index = *value == '\0' || *value == ',' ? -1
                                              : site->CreateFeeder(*value, comma != nullptr ? startId.c_str() : nullptr);
  if (index < 0) {
    Tcl_AppendResult(interp, "feeder creation failed, is distribution set?", nullptr);
    return TCL_ERROR;
  }
  Tcl_AppendResult(interp, std::to_string(index).c_str(), nullptr);
  return TCL_OK;
}

int SetParameter(Tcl_Interp* interp, Site* site, const char* command, const char* name, const char* value) {
  if (strcasecmp(name, "streaming") == 0) {
    site->streaming = uint32_t(atoi(value));
    site->updateCount++;
  } else if (strcasecmp(name, "maxbacklog") == 0) {
    int backlog = atoi(value);
    if (backlog < 20 || backlog > 200000) return TCL_ERROR;
    site->maxBacklog = uint32_t(backlog);
  } else if (strcasecmp(name, "LatencyFeedPrefetch") == 0) {
    return SetPrefetch(site, &site->latencyFeedPrefetch, value);
  } else if (strcasecmp(name, "RegularFeedPrefetch") == 0) {
    return SetPrefetch(site, &site->regularFeedPrefetch, value);
  } else if (strcasecmp(name, "cancelbypass") == 0) {
    _distrib* d = site->GetDistribution();
    if (d == nullptr) {
      Tcl_AppendResult(interp, command, ": no distribution set for ", site->GetHostName(), nullptr);
      return TCL_ERROR;
    }
    d->cancelBypass = uint32_t(atoi(value));
  } else if (strcasecmp(name, "nocheckn") == 0) {
    site->noCheckN = uint32_t(atoi(value));
    site->updateCount++;
  } else if (strcasecmp(name, "nocheckl") == 0) {
    site->noCheckL = uint32_t(atoi(value));
    site->updateCount++;
  } else if (strcasecmp(name, "createfeeder") == 0) {
    return CreateFeeder(interp, site, value);
  } else if (strcasecmp(name, "distribution") == 0) {
    site->SetFeedInfo(value);
  } else if (strcasecmp(name, "deletefeeder") == 0) {
    site->DeleteFeeder(uint32_t(atol(value)));
  } else if (strcasecmp(name, "setupdateflag") == 0) {
    site->updateCount++;
  } else if (strcasecmp(name, "port") != 0) {
    Tcl_AppendResult(interp, command, ": unknown parameter: ", name, nullptr);
    return TCL_ERROR;
  }
  return TCL_OK;
}

}  // namespace

VELTRANE_TCL_HANDLER(Tcl_CreateSite) {
  SiteTable& sites = *Targets(data).sites;
  if (argc != 3 && argc != 4) {
    Tcl_AppendResult(interp, argv[0], ": invalid arguments: ", argv[0], " siteName sitePort", nullptr);
    return TCL_ERROR;
  }
  int slot = 0, port = 0;
  if (argc == 4) {
    if (Tcl_GetInt(interp, argv[3], &slot) != TCL_OK) return TCL_ERROR;
    if (slot < 0 || slot >= int(kMaxSites)) {
      Tcl_AppendResult(interp, argv[0], ": slot ", argv[3], " is outside 0 to 127", nullptr);
      return TCL_ERROR;
    }
    if (sites.siteArray[slot].load() != nullptr) {
      Tcl_AppendResult(interp, argv[0], ": slot ", argv[3], " is taken by ", sites.siteArray[slot].load()->GetHostName(),
                       nullptr);
      return TCL_ERROR;
    }
  } else if ((slot = LowestFreeSlot(sites)) < 0) {
    Tcl_AppendResult(interp, argv[0], "Too many sites", nullptr);
    return TCL_ERROR;
  }
  if (Tcl_GetInt(interp, argv[2], &port) != TCL_OK) return TCL_ERROR;
  if (port < 1 || port > 65535) {
    Tcl_AppendResult(interp, argv[0], ": port ", argv[2], " is outside 1 to 65535", nullptr);
    return TCL_ERROR;
  }
  if (strlen(argv[1]) > kMaxHostName) {
    Tcl_AppendResult(interp, argv[0], ": site name longer than 255 characters", nullptr);
    return TCL_ERROR;
  }
  Site* site = sites.MakeSite(argv[1], uint32_t(slot));
  site->SetPort(uint32_t(port));
  sites.InheritRecordedQueue(site);
  sites.siteArray[slot] = site;
  Tcl_AppendResult(interp, std::to_string(slot).c_str(), nullptr);
  return TCL_OK;
}

VELTRANE_TCL_HANDLER(Tcl_DeleteSite) {
  SiteTable& sites = *Targets(data).sites;
  if (argc != 2) {
    Tcl_AppendResult(interp, argv[0], ": invalid arguments", nullptr);
    return TCL_ERROR;
  }
  Site* site = FindSite(sites, argv[1], strcmp);
  if (site == nullptr) {
    Tcl_AppendResult(interp, "Unknown site: ", argv[1], nullptr);
    return TCL_ERROR;
  }
  for (uint32_t i = 0; i < kFeedersPerSite; i++) site->DeleteFeeder(i);
  // Left in the list, the distribution would go on flagging articles for
  // the slot's bit: for the deleted site's feeders still finishing, and for
  // a new site given the slot, with the old site's patterns.
  site->StopDistribution();
  sites.siteArray[site->GetSiteIndex()] = nullptr;  // the record itself stays valid
  return TCL_OK;
}

VELTRANE_TCL_HANDLER(Tcl_ReturnSiteStatsString) {
  SiteTable& sites = *Targets(data).sites;
  (void)argc;
  (void)argv;
  Tcl_AppendResult(interp, "{sites ", nullptr);
  for (std::atomic<Site*>& slot : sites.siteArray) {
    if (Site* site = slot.load()) Tcl_AppendElement(interp, site->GetStateString().c_str());
  }
  Tcl_AppendResult(interp, "} ", nullptr);
  return TCL_OK;
}

VELTRANE_TCL_HANDLER(Tcl_ReturnSiteConfigString) {
  SiteTable& sites = *Targets(data).sites;
  if (argc != 2) return TCL_ERROR;
  Site* site = FindSite(sites, argv[1], strcasecmp);
  if (site == nullptr) {
    Tcl_AppendResult(interp, "Unknown site: ", argv[1], nullptr);
    return TCL_ERROR;
  }
  Tcl_AppendResult(interp, site->GetSiteInfo().c_str(), nullptr);
  return TCL_OK;
}

VELTRANE_TCL_HANDLER(Tcl_SetSiteParam) {
  SiteTable& sites = *Targets(data).sites;
  if (argc != 4) {
    Tcl_AppendResult(interp, argv[0], ": invalid arguments", nullptr);
    return TCL_ERROR;
  }
  Site* site = FindSite(sites, argv[1], strcmp);
  if (site == nullptr) {
    Tcl_AppendResult(interp, argv[0], ": site not found: ", argv[1], nullptr);
    return TCL_OK;
  }
  return SetParameter(interp, site, argv[0], argv[2], argv[3]);
}

VELTRANE_TCL_HANDLER(Tcl_GetSiteList) {
  SiteTable& sites = *Targets(data).sites;
  if (argc != 1) {
    Tcl_AppendResult(interp, argv[0], ": invalid arguments", nullptr);
    return TCL_ERROR;
  }
  for (uint32_t i = 0; i < kMaxSites; i++) {
    Site* site = sites.siteArray[i].load();
    if (site == nullptr) continue;
    Tcl_AppendResult(interp, "{", nullptr);
    Tcl_AppendElement(interp, site->GetHostName());
    Tcl_AppendResult(interp, (" " + std::to_string(i) + "} ").c_str(), nullptr);
  }
  return TCL_OK;
}
