#pragma once

// Output of `ip -details link show NAME` as iproute2 prints it for the kinds of link the
// provisioning meets.

namespace quorix::ip_samples {

inline constexpr const char* CAN_UP_1M =
    "4: can0: <NOARP,UP,LOWER_UP,ECHO> mtu 16 qdisc pfifo_fast state UP mode DEFAULT group default qlen 10\n"
    "    link/can  promiscuity 0 allmulti 0 minmtu 0 maxmtu 0 \n"
    "    can state ERROR-ACTIVE (berr-counter tx 0 rx 0) restart-ms 0 \n"
    "\t  bitrate 1000000 sample-point 0.750\n"
    "\t  tq 25 prop-seg 14 phase-seg1 15 phase-seg2 10 sjw 1 brp 2\n"
    "\t  gs_usb: tseg1 1..16 tseg2 1..8 sjw 1..4 brp 1..1024 brp_inc 1\n"
    "\t  clock 48000000 numtxqueues 1 numrxqueues 1 gso_max_size 65536 gso_max_segs 65535 "
    "tso_max_size 65536 tso_max_segs 65535 gro_max_size 65536 parentbus usb parentdev 1-1:1.0 \n";

inline constexpr const char* CAN_UP_500K =
    "4: can0: <NOARP,UP,LOWER_UP,ECHO> mtu 16 qdisc pfifo_fast state UP mode DEFAULT group default qlen 10\n"
    "    link/can  promiscuity 0 allmulti 0 minmtu 0 maxmtu 0 \n"
    "    can state ERROR-ACTIVE (berr-counter tx 0 rx 0) restart-ms 0 \n"
    "\t  bitrate 500000 sample-point 0.875\n"
    "\t  tq 125 prop-seg 6 phase-seg1 7 phase-seg2 2 sjw 1 brp 6\n"
    "\t  mcp251x: tseg1 3..16 tseg2 2..8 sjw 1..4 brp 1..64 brp_inc 1\n"
    "\t  clock 8000000 numtxqueues 1 numrxqueues 1 gso_max_size 65536 gso_max_segs 65535 "
    "parentbus spi parentdev spi0.0 \n";

// Up, but faster than the bus: needs the same reconfiguration as a slower one.
inline constexpr const char* CAN_UP_2M =
    "4: can0: <NOARP,UP,LOWER_UP,ECHO> mtu 16 qdisc pfifo_fast state UP mode DEFAULT group default qlen 10\n"
    "    link/can  promiscuity 0 allmulti 0 minmtu 0 maxmtu 0 \n"
    "    can state ERROR-ACTIVE (berr-counter tx 0 rx 0) restart-ms 0 \n"
    "\t  bitrate 2000000 sample-point 0.750\n"
    "\t  tq 25 prop-seg 7 phase-seg1 7 phase-seg2 5 sjw 1 brp 1\n"
    "\t  gs_usb: tseg1 1..16 tseg2 1..8 sjw 1..4 brp 1..1024 brp_inc 1\n"
    "\t  clock 80000000 numtxqueues 1 numrxqueues 1 gso_max_size 65536 gso_max_segs 65535 \n";

inline constexpr const char* CAN_DOWN_UNCONFIGURED =
    "4: can0: <NOARP,ECHO> mtu 16 qdisc noop state DOWN mode DEFAULT group default qlen 10\n"
    "    link/can  promiscuity 0 allmulti 0 minmtu 0 maxmtu 0 \n"
    "    can state STOPPED (berr-counter tx 0 rx 0) restart-ms 0 \n"
    "\t  mcp251x: tseg1 3..16 tseg2 2..8 sjw 1..4 brp 1..64 brp_inc 1\n"
    "\t  clock 8000000 numtxqueues 1 numrxqueues 1 gso_max_size 65536 gso_max_segs 65535 "
    "parentbus spi parentdev spi0.0 \n";

inline constexpr const char* CAN_DOWN_1M =
    "4: can0: <NOARP,ECHO> mtu 16 qdisc pfifo_fast state DOWN mode DEFAULT group default qlen 10\n"
    "    link/can  promiscuity 0 allmulti 0 minmtu 0 maxmtu 0 \n"
    "    can state STOPPED restart-ms 0 \n"
    "\t  bitrate 1000000 sample-point 0.750\n"
    "\t  tq 25 prop-seg 14 phase-seg1 15 phase-seg2 10 sjw 1 brp 2\n"
    "\t  gs_usb: tseg1 1..16 tseg2 1..8 sjw 1..4 brp 1..1024 brp_inc 1\n"
    "\t  clock 48000000 numtxqueues 1 numrxqueues 1 gso_max_size 65536 gso_max_segs 65535 \n";

// Carrier up, administratively down: LOWER_UP is not UP.
inline constexpr const char* CAN_LOWER_UP_ONLY =
    "4: can0: <NOARP,LOWER_UP,ECHO> mtu 16 qdisc pfifo_fast state DOWN mode DEFAULT group default qlen 10\n"
    "    link/can  promiscuity 0 allmulti 0 minmtu 0 maxmtu 0 \n"
    "    can state ERROR-ACTIVE restart-ms 0 \n"
    "\t  bitrate 1000000 sample-point 0.750\n";

// A CAN FD controller: the nominal rate comes first, the data-phase "dbitrate" later.
inline constexpr const char* CANFD_UP_500K =
    "7: can1: <NOARP,UP,LOWER_UP,ECHO> mtu 72 qdisc pfifo_fast state UP mode DEFAULT group default qlen 10\n"
    "    link/can  promiscuity 0 allmulti 0 minmtu 0 maxmtu 0 \n"
    "    can <FD> state ERROR-ACTIVE (berr-counter tx 0 rx 0) restart-ms 100 \n"
    "\t  bitrate 500000 sample-point 0.800\n"
    "\t  tq 25 prop-seg 31 phase-seg1 32 phase-seg2 16 sjw 1 brp 1\n"
    "\t  m_can: tseg1 2..256 tseg2 2..128 sjw 1..128 brp 1..512 brp_inc 1\n"
    "\t  dbitrate 2000000 dsample-point 0.750\n"
    "\t  dtq 25 dprop-seg 7 dphase-seg1 7 dphase-seg2 5 dsjw 1 dbrp 1\n"
    "\t  clock 40000000 numtxqueues 1 numrxqueues 1 \n";

inline constexpr const char* CAN_ELEVEN_DIGITS =
    "4: can0: <NOARP,UP,LOWER_UP,ECHO> mtu 16 qdisc pfifo_fast state UP mode DEFAULT group default qlen 10\n"
    "    link/can  promiscuity 0 allmulti 0 minmtu 0 maxmtu 0 \n"
    "    can state ERROR-ACTIVE restart-ms 0 \n"
    "\t  bitrate 10000000000 sample-point 0.750\n";

inline constexpr const char* VCAN_UP =
    "5: vcan0: <NOARP,UP,LOWER_UP> mtu 72 qdisc noqueue state UNKNOWN mode DEFAULT group default qlen 1000\n"
    "    link/can  promiscuity 0 allmulti 0 minmtu 0 maxmtu 0 \n"
    "    vcan numtxqueues 1 numrxqueues 1 gso_max_size 65536 gso_max_segs 65535 tso_max_size 65536 "
    "tso_max_segs 65535 gro_max_size 65536 \n";

inline constexpr const char* VCAN_DOWN =
    "5: vcan0: <NOARP> mtu 72 qdisc noop state DOWN mode DEFAULT group default qlen 1000\n"
    "    link/can  promiscuity 0 allmulti 0 minmtu 0 maxmtu 0 \n"
    "    vcan numtxqueues 1 numrxqueues 1 gso_max_size 65536 gso_max_segs 65535 tso_max_size 65536 "
    "tso_max_segs 65535 gro_max_size 65536 \n";

inline constexpr const char* VXCAN_DOWN =
    "9: vxcan0@vxcan1: <NOARP,M-DOWN> mtu 72 qdisc noop state DOWN mode DEFAULT group default qlen 1000\n"
    "    link/can  promiscuity 0 allmulti 0 minmtu 0 maxmtu 0 \n"
    "    vxcan numtxqueues 1 numrxqueues 1 gso_max_size 65536 gso_max_segs 65535 \n";

inline constexpr const char* VXCAN_UP =
    "9: vxcan0@vxcan1: <NOARP,UP,LOWER_UP> mtu 72 qdisc noqueue state UP mode DEFAULT group default qlen "
    "1000\n"
    "    link/can  promiscuity 0 allmulti 0 minmtu 0 maxmtu 0 \n"
    "    vxcan numtxqueues 1 numrxqueues 1 gso_max_size 65536 gso_max_segs 65535 \n";

inline constexpr const char* ETH0 =
    "2: eth0: <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 1500 qdisc fq_codel state UP mode DEFAULT group default "
    "qlen 1000\n"
    "    link/ether 52:54:00:12:34:56 brd ff:ff:ff:ff:ff:ff promiscuity 0 allmulti 0 minmtu 68 maxmtu 65535 "
    "addrgenmode none numtxqueues 1 numrxqueues 1 gso_max_size 65536 gso_max_segs 65535 \n"
    "    altname enp0s3\n";

}  // namespace quorix::ip_samples
