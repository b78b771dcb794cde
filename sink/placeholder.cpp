// placeholder until the sink lands
