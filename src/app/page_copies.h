#pragma once
// The vector copy beside each saved page, as the "vector" setting asks:
// the interactive program and the unattended mode write it alike.

#include <string>

namespace plotanix {

class PageStore;
class PlotSession;

// For "svg" or "pdf" the store writes PLOTTER_nnnnn.SVG (or .PDF), drawn
// again from the session's display list, beside every page it saves; for
// "off" it writes none. The session must keep its display list.
void copyPagesAs(const std::string& setting, const PlotSession& session, PageStore& store);

} // namespace plotanix
