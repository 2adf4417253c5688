// The camera's memory as the feature evaluator sees it: reads and writes of
// any length and alignment, carried by READREG/WRITEREG for one aligned
// word and by READMEM/WRITEMEM in pieces otherwise.
#ifndef VORA_DESCRIPTION_PORT_H
#define VORA_DESCRIPTION_PORT_H

#include "genicam/genicam_port.h"

class GigeCamera;

class DescriptionPort : public genicam::Port {
public:
    explicit DescriptionPort(GigeCamera& camera) : camera_(camera) {}
    int read(uint64_t address, void* data, size_t length) override;
    int write(uint64_t address, const void* data, size_t length) override;

private:
    GigeCamera& camera_;
};

#endif
