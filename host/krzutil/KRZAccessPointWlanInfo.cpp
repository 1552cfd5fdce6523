#include "krzutil/KRZAccessPointWlanInfo.h"

KRZAccessPointWlanInfo::KRZAccessPointWlanInfo() : channel(0), signalDbm(0), privacy(false) {}
KRZAccessPointWlanInfo::~KRZAccessPointWlanInfo() = default;
