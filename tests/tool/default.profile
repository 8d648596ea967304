# The default virtual device, as a profile file that cases extend.
description = Virtual DFU Device
vendor = 0x0483
product = 0xDF11
device = 0x2200
dfu-version = 0x011A
attributes = 0x0B
detach-timeout = 255
transfer-size = 2048
timing = fast
alt = @Internal Flash  /0x08000000/04*016Kg,01*064Kg,03*128Kg
alt = @Option Bytes  /0x1FFFC000/01*016 e
alt = @OTP Memory /0x1FFF7800/01*512 e,01*016 e
alt = @Device Feature/0xFFFF0000/01*004 e
