#error "the portable rules and the launch logic include no OS header: this belongs in os/"
