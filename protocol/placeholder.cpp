int velmoraProtocolPlaceholder = 0;
