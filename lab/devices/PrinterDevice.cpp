#include "lab/devices/PrinterDevice.h"

#include "lab/devices/FormCoding.h"

namespace krzlab {

PrinterDevice::PrinterDevice(const DeviceSpec& profile) : EmulatedDevice(profile) {}

PrinterDevice::~PrinterDevice() {
    stop();
}

HttpReply PrinterDevice::page(const std::string& title, const std::string& content) const {
    // mutex_ held by the caller
    HttpReply reply;
    reply.headers.emplace_back("Server", "Quillpress-HTTPd/2.1");
    reply.headers.emplace_back("Content-Type", "text/html");
    reply.body = "<html>\n<head><title>Quillpress " + htmlEscape(spec_.model) + " - " + title +
                 "</title>\n<meta http-equiv=\"refresh\" content=\"30\"></head>\n"
                 "<body style=\"font-family:Tahoma,sans-serif;background:#fdfcf7\">\n"
                 "<h2 style=\"color:#5a3e1b\">Quillpress " +
                 htmlEscape(spec_.model) +
                 " Laser Printer</h2>\n<p><a href=\"/\">Status</a> | <a href=\"/network.html\">"
                 "Network</a></p>\n" +
                 content + "<hr><small>Firmware " + htmlEscape(spec_.firmware) +
                 "</small>\n</body>\n</html>\n";
    return reply;
}

HttpReply PrinterDevice::handle(const HttpRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (request.path == "/" || request.path == "/index.html") {
        return page("Status",
                    "<table border=1 cellpadding=4 style=\"border-collapse:collapse\">\n"
                    "<tr><td>Printer status</td><td><b>Ready</b></td></tr>\n"
                    "<tr><td>Toner (black)</td><td><div style=\"width:100px;background:#ddd\">"
                    "<div style=\"width:62px;background:#222\">&nbsp;</div></div> 62%</td></tr>\n"
                    "<tr><td>Tray 1</td><td>A4, 250 sheets</td></tr>\n"
                    "<tr><td>Pages printed</td><td>18342</td></tr>\n</table>\n");
    }
    if (request.path == "/network.html") {
        return page("Network", "<table border=1 cellpadding=4>\n<tr><td>IPv4 address</td><td>" +
                                   htmlEscape(spec_.address) +
                                   "</td></tr>\n<tr><td>Hardware "
                                   "address</td><td>" +
                                   htmlEscape(spec_.mac) +
                                   "</td></tr>\n<tr><td>Protocols</td><td>LPD, IPP, "
                                   "Port 9100</td></tr>\n</table>\n");
    }
    HttpReply reply = page("Not Found", "<p>The page does not exist.</p>\n");
    reply.status = 404;
    reply.reason = "Not Found";
    return reply;
}

}  // namespace krzlab
