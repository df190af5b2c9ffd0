/* ASPI request blocks and entry points, shared by the device layer and by any
 * ASPI layer it loads (the virtual recorder among them). The fields are those
 * of the ASPI for Win32 SRBs, in the same order, with native pointer width.
 * SRB_PostProc carries an eventfd descriptor: the layer writes to it when a
 * pending request completes. */
#ifndef SKARVO_WNASPI32_H
#define SKARVO_WNASPI32_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* SRB_Cmd */
#define SC_HA_INQUIRY     0x00
#define SC_GET_DEV_TYPE   0x01
#define SC_EXEC_SCSI_CMD  0x02
#define SC_ABORT_SRB      0x03
#define SC_RESET_DEV      0x04
#define SC_GET_DISK_INFO  0x06

/* SRB_Status */
#define SS_PENDING        0x00
#define SS_COMP           0x01
#define SS_ABORTED        0x02
#define SS_ABORT_FAIL     0x03
#define SS_ERR            0x04
#define SS_INVALID_CMD    0x80
#define SS_INVALID_HA     0x81
#define SS_NO_DEVICE      0x82
#define SS_INVALID_SRB    0xE0
#define SS_OLD_MANAGER    0xE1
#define SS_BUFFER_ALIGN   0xE1
#define SS_ILLEGAL_MODE   0xE2
#define SS_NO_ASPI        0xE3
#define SS_FAILED_INIT    0xE4
#define SS_ASPI_IS_BUSY   0xE5
#define SS_BUFFER_TO_BIG  0xE6
#define SS_MISMATCHED_COMPONENTS 0xE7
#define SS_NO_ADAPTERS    0xE8
#define SS_INSUFFICIENT_RESOURCES 0xE9
#define SS_ASPI_IS_SHUTDOWN 0xEA
#define SS_BAD_INSTALL    0xEB

/* SRB_Flags */
#define SRB_POSTING       0x01
#define SRB_ENABLE_RESIDUAL_COUNT 0x04
#define SRB_DIR_IN        0x08
#define SRB_DIR_OUT       0x10
#define SRB_EVENT_NOTIFY  0x40

/* SRB_HaStat */
#define HASTAT_OK            0x00
#define HASTAT_SEL_TO        0x11
#define HASTAT_DO_DU         0x12
#define HASTAT_BUS_FREE      0x13
#define HASTAT_PHASE_ERR     0x14
#define HASTAT_TIMEOUT       0x09
#define HASTAT_COMMAND_TIMEOUT 0x0B
#define HASTAT_MESSAGE_REJECT 0x0D
#define HASTAT_BUS_RESET     0x0E
#define HASTAT_PARITY_ERROR  0x0F
#define HASTAT_REQUEST_SENSE_FAILED 0x10

/* SRB_TargStat (SCSI status) */
#define STATUS_GOOD       0x00
#define STATUS_CHKCOND    0x02
#define STATUS_BUSY       0x08
#define STATUS_RESCONF    0x18

#define SENSE_LEN         14
#define SKARVO_SRB_SENSE_AREA 33

/* Common header of every SRB. */
typedef struct {
  uint8_t  SRB_Cmd;
  uint8_t  SRB_Status;
  uint8_t  SRB_HaId;
  uint8_t  SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
} SRB_Header;

/* SC_HA_INQUIRY: byte offsets 8 (count), 9 (SCSI id), 10..25 (manager id),
 * 26..41 (adapter identifier), 42..57 (adapter-unique parameters). */
typedef struct {
  uint8_t  SRB_Cmd;
  uint8_t  SRB_Status;
  uint8_t  SRB_HaId;
  uint8_t  SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t  HA_Count;
  uint8_t  HA_SCSI_ID;
  uint8_t  HA_ManagerId[16];
  uint8_t  HA_Identifier[16];
  uint8_t  HA_Unique[16];
  uint16_t HA_Rsvd1;
} SRB_HAInquiry;

/* SC_GET_DEV_TYPE */
typedef struct {
  uint8_t  SRB_Cmd;
  uint8_t  SRB_Status;
  uint8_t  SRB_HaId;
  uint8_t  SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t  SRB_Target;
  uint8_t  SRB_Lun;
  uint8_t  SRB_DeviceType;
  uint8_t  SRB_Rsvd1;
} SRB_GDEVBlock;

/* SC_EXEC_SCSI_CMD */
typedef struct {
  uint8_t  SRB_Cmd;
  uint8_t  SRB_Status;
  uint8_t  SRB_HaId;
  uint8_t  SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t  SRB_Target;
  uint8_t  SRB_Lun;
  uint16_t SRB_Rsvd1;
  uint32_t SRB_BufLen;
  uint8_t *SRB_BufPointer;
  uint8_t  SRB_SenseLen;
  uint8_t  SRB_CDBLen;
  uint8_t  SRB_HaStat;
  uint8_t  SRB_TargStat;
  intptr_t SRB_PostProc;      /* eventfd descriptor when SRB_EVENT_NOTIFY is set */
  uint8_t  SRB_Rsvd2[20];
  uint8_t  CDBByte[16];
  uint8_t  SenseArea[SKARVO_SRB_SENSE_AREA];
} SRB_ExecSCSICmd;

/* SC_ABORT_SRB */
typedef struct {
  uint8_t  SRB_Cmd;
  uint8_t  SRB_Status;
  uint8_t  SRB_HaId;
  uint8_t  SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  void    *SRB_ToAbort;
} SRB_Abort;

/* SC_GET_DISK_INFO: byte 11 is the drive number (0 = A). */
typedef struct {
  uint8_t  SRB_Cmd;
  uint8_t  SRB_Status;
  uint8_t  SRB_HaId;
  uint8_t  SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t  SRB_Target;
  uint8_t  SRB_Lun;
  uint8_t  SRB_DriveFlags;
  uint8_t  SRB_Int13HDriveInfo;
  uint8_t  SRB_Heads;
  uint8_t  SRB_Sectors;
  uint8_t  SRB_Rsvd1[10];
} SRB_GetDiskInfo;

/* Entry points of an ASPI layer. GetASPI32SupportInfo returns the status in
 * bits 8..15 and the number of host adapters in bits 0..7. */
typedef uint32_t (*PFN_GetASPI32SupportInfo)(void);
typedef uint32_t (*PFN_SendASPI32Command)(void *srb);

uint32_t GetASPI32SupportInfo(void);
uint32_t SendASPI32Command(void *srb);

#ifdef __cplusplus
}
#endif

#endif
