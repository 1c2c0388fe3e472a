# PHY firmware of the example package. It is linked at the PHY's own
# addresses (0xBF000000); the loader moves them into the PHY memory window
# (0xBF540000). Its version words agree with the MAC's where the version
# report compares them (release branch, Phy-Mac interface revision).
        .set    noreorder

        .text
        .globl  phy_start
phy_start:
        lui     $sp, 0xBF00
        ori     $sp, $sp, 0xBF00
        la      $s0, g_phyState
phy_loop:
        lw      $t0, 0($s0)
        addiu   $t0, $t0, 1
        sw      $t0, 0($s0)
        lhu     $t1, 4($s0)             # agcState
        andi    $t1, $t1, 0x00FF
        b       phy_loop
        sh      $t1, 6($s0)

        .section .version, "a"
        .globl  majorVersion, minorVersion, versionBranch, buildNumber
        .globl  systemRepoRevisionNumber, componentRepoRevisionNumber
        .globl  phyMacInterfaceRevision, uartPhyInterfaceRevision
majorVersion:                   .word   3
minorVersion:                   .word   1
versionBranch:                  .word   2
buildNumber:                    .word   977
systemRepoRevisionNumber:       .word   52113
componentRepoRevisionNumber:    .word   4410
reserved:                       .word   0
phyMacInterfaceRevision:        .word   5
uartPhyInterfaceRevision:       .word   2

        .bss
        .align  3
        .globl  g_phyState
g_phyState:
        .space  8
