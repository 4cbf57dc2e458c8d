/* SCSI constants shared by the command helpers (and the device simulator). */
#ifndef ZK_ZKSCSI_CODES_H
#define ZK_ZKSCSI_CODES_H

enum {
    kInquiryOpcode = 0x12,
    kModeSense6Opcode = 0x1A,
    kInquiryEvpdBit = 0x01,
    kVpdUnitSerial = 0x80,          /* Unit Serial Number page */
    kVpdDeviceIdentification = 0x83,
    kModeSenseDbdBit = 0x08,
    kModePageSpReport = 0x26,       /* CLARiiON SP Report page */
    kModePageUnitConfig = 0x2B,     /* CLARiiON Unit Config page */
    kCdb6Length = 6,
    kCdbAreaSize = 16,
    kInquiryProbeLength = 36,       /* first-pass allocation of INQUIRY */
    kModeSenseProbeLength = 4,      /* first-pass allocation of MODE SENSE */
    kModeHeader6Length = 4,
    kBlockDescriptorLength = 8,
};

#endif /* ZK_ZKSCSI_CODES_H */
