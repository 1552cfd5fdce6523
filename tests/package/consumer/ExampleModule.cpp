// The smallest module a third party would write: a recognizer for one page, registered while the
// library loads.
#include "core/KRZPAPModule.h"
#include "discovery/KRZPHttpScanner.h"
#include "html/KRZPHtmlParser.h"
#include "webconf/KRZPHttpConfigurator.h"

#include <boost/make_shared.hpp>

namespace {

class ExampleRecognizer : public KRZPHttpRecognizer {
  public:
    boost::shared_ptr<KRZPAPConfigurator> recognize(const in_addr&, const std::string&,
                                                    const std::string& body,
                                                    const KRZMacAddress&) override {
        KRZPHtmlParser page(body);
        try {
            page.caselessSkipPast("<title>Example");
        } catch (const KRZPAPCException&) {
        }
        return boost::shared_ptr<KRZPAPConfigurator>();
    }
};

struct Registration {
    Registration() {
        KRZPHttpScanner::registerHttpRecognizer(boost::make_shared<ExampleRecognizer>(), 100);
    }
} registration;

}  // namespace
