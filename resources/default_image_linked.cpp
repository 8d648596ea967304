// Links default_image.bin into the Linux executable between the symbols
// zuva_default_image_begin and zuva_default_image_end, which the platform
// layer reads. The Windows executable carries the same bytes as resource
// RCDATA 101 instead (zuva.rc).
#ifndef ZUVA_DEFAULT_IMAGE_PATH
#error "ZUVA_DEFAULT_IMAGE_PATH must name default_image.bin"
#endif

__asm__(
    ".pushsection .rodata.zuva_default_image,\"a\",@progbits\n"
    ".balign 16\n"
    ".global zuva_default_image_begin\n"
    ".type zuva_default_image_begin, @object\n"
    "zuva_default_image_begin:\n"
    ".incbin \"" ZUVA_DEFAULT_IMAGE_PATH "\"\n"
    ".global zuva_default_image_end\n"
    "zuva_default_image_end:\n"
    ".size zuva_default_image_begin, zuva_default_image_end - zuva_default_image_begin\n"
    ".popsection\n");
