# MAC firmware of the example package: the boot entry, the handler of
# interrupt vector #2 (which the loader stages instead of loading), a main
# loop that serves the command mailbox, and the version words the host reads.
        .set    noreorder
        .set    noat

        .equ    MAILBOX_COUNTER, 0xBF108300
        .equ    MAILBOX_BUFFER,  0xBFE30000

        .text
        .globl  _start
_start:
        lui     $sp, 0xBFC2
        ori     $sp, $sp, 0x3000
        la      $t0, main
        jr      $t0
        nop

        # Boot-time exception entry: count and return.
        .org    0x180
exception:
        la      $k0, g_macStats
        lw      $k1, 0($k0)
        addiu   $k1, $k1, 1
        sw      $k1, 0($k0)
        eret
        nop

        # Interrupt vector #2: acknowledge the mailbox interrupt.
        .org    0x280
        .globl  vector2
vector2:
        la      $k0, MAILBOX_COUNTER
        sw      $zero, 0($k0)
        la      $k0, g_macStats
        lw      $k1, 4($k0)
        addiu   $k1, $k1, 1
        sw      $k1, 4($k0)
        la      $k0, g_macStatsHistory
        lw      $k1, 0($k0)
        addiu   $k1, $k1, 1
        sw      $k1, 0($k0)
        eret
        nop

        .org    0x400
        .globl  main
main:
        la      $s0, MAILBOX_COUNTER
        la      $s1, MAILBOX_BUFFER
        la      $s2, g_macStats
wait_command:
        lw      $t0, 0($s0)
        beq     $t0, $zero, wait_command
        nop
        lhu     $t1, 0($s1)             # opcode
        lhu     $t2, 2($s1)             # sequence
        sw      $t1, 8($s2)
        sw      $t2, 12($s2)
        lw      $t3, 16($s2)
        addiu   $t3, $t3, 1
        sw      $t3, 16($s2)
        b       wait_command
        sw      $zero, 0($s0)

        .section .version, "a"
        .globl  majorVersion, minorVersion, versionBranch, buildNumber
        .globl  systemRepoRevisionNumber, componentRepoRevisionNumber
        .globl  hostFwInterfaceRevision, phyMacInterfaceRevision, uartPhyInterfaceRevision
majorVersion:                   .word   3
minorVersion:                   .word   1
versionBranch:                  .word   2
buildNumber:                    .word   1402
systemRepoRevisionNumber:       .word   52113
componentRepoRevisionNumber:    .word   8071
hostFwInterfaceRevision:        .word   7
phyMacInterfaceRevision:        .word   5
uartPhyInterfaceRevision:       .word   2

        # An odd size: the loader pads the section's end to a whole word.
        .section .rodata
        .globl  buildTag
buildTag:
        .ascii  "ZRX4620 MAC 3.1.2 build 1402"
        .byte   0

        .bss
        .align  4
        .globl  g_macStats, g_macStatsHistory
g_macStats:
        .space  0x13
        .org    0xC0
g_macStatsHistory:
        .space  0x100
