gone
